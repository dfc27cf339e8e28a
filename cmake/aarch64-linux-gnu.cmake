# Cross-compiles for ARM64 Linux with Debian's g++-aarch64-linux-gnu against the arm64
# multiarch libraries (dpkg --add-architecture arm64), and runs what is built under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The packages' libraries and CMake files are under /usr/lib/aarch64-linux-gnu, their
# architecture-specific headers (gmp.h) under /usr/include/aarch64-linux-gnu: searching /usr
# with the architecture finds both and the architecture-independent ones (CLI11, nlohmann-json).
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# With no -L, qemu-aarch64 starts the multiarch loader /lib/ld-linux-aarch64.so.1, which loads
# the multiarch libc6:arm64, libstdc++6:arm64 and libgomp1:arm64: one consistent C library,
# not the cross toolchain's build of it mixed in.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
