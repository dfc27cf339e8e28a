// GPUs through OpenCL and CUDA: the devices found, and blocks of terms of one series evaluated on them.
#pragma once
#include <cstddef>
#include <cstdint>

// The two arithmetics of the kernels. Both leave the same block result: each term's floor
// digits, exactly.
enum tly_bbp_gpu_arithmetic : int32_t {
  tly_bbp_gpu_fp64_exact = 0,   // the exact double arithmetic: moduli below 2^52, FP64 multiply-adds
  tly_bbp_gpu_montgomery64 = 1  // the exact 64-bit Montgomery arithmetic: every modulus, integer products
};
// "fp64-exact", "montgomery64".
const char* tly_bbp_gpu_arithmetic_name(tly_bbp_gpu_arithmetic arithmetic);
// The largest modulus plus one that an arithmetic takes; 0: every 64-bit modulus.
uint64_t tly_bbp_gpu_moduli_below(tly_bbp_gpu_arithmetic arithmetic);

// How fast a device runs double precision beside single: what decides between the arithmetics
// before a sample is timed.
enum tly_bbp_gpu_fp64_class : int32_t {
  tly_bbp_gpu_fp64_none = 0,     // no double precision: the Montgomery arithmetic only
  tly_bbp_gpu_fp64_reduced = 1,  // consumer GPUs: 1/16 to 1/64 of the single-precision rate
  tly_bbp_gpu_fp64_full = 2      // data-center GPUs (1/2 rate or better) and processors
};
const char* tly_bbp_gpu_fp64_class_name(tly_bbp_gpu_fp64_class fp64);  // "none", "reduced", "full"

// The runtimes that reach devices, each loaded at run time where it is installed.
enum tly_bbp_gpu_backend : int32_t {
  tly_bbp_gpu_opencl = 0,  // devices opencl:PLATFORM:INDEX
  tly_bbp_gpu_cuda = 1     // NVIDIA devices cuda:ORDINAL, through the driver and NVRTC
};
const char* tly_bbp_gpu_backend_name(tly_bbp_gpu_backend backend);  // "opencl", "cuda"

// One way to a device. A physical device that two runtimes reach has an entry for each: the
// preferred one (CUDA) has same_as -1 and is the one listed; the other points at it. Every GPU
// once: the entries with is_gpu and same_as -1; a name picks any entry (tly_bbp_gpu_find_device).
struct tly_bbp_gpu_device_info {
  tly_bbp_gpu_backend backend;
  uint32_t platform, index;  // opencl:PLATFORM:INDEX; under CUDA platform 0 and cuda:INDEX
  int32_t same_as;           // the entry of the same physical device that is preferred; -1: this one
  uint32_t backends;         // 1 << backend for each runtime that reaches the physical device
  char pci_bus[16];          // "DOMAIN:BUS:DEVICE" in hexadecimal where the runtime tells it, else empty
  char platform_name[96];    // the OpenCL platform's name; "CUDA" under CUDA
  char name[96];
  char vendor[64];
  char version[64];          // the device's OpenCL version; "compute capability MAJOR.MINOR" under CUDA
  bool is_gpu;               // a GPU or accelerator; a processor's OpenCL (PoCL) is used only when named
  uint64_t global_memory;    // bytes
  uint32_t compute_units;
  uint32_t clock_mhz;
  tly_bbp_gpu_fp64_class fp64;
  tly_bbp_gpu_arithmetic arithmetic;  // the one it would use before a sample is timed
};

// Errors are returned, never printed: the code of the failing runtime call and a message.
struct tly_bbp_gpu_error {
  int32_t code;  // 0: none; an OpenCL, CUDA driver or NVRTC error code, -1000 for this library's own refusals
  char message[256];
};

// The runtimes found, loaded at run time, and their devices; the programs built for them are
// cached here. One per process is enough; each device may be driven by one thread at a time.
struct tly_bbp_gpu;

// Loads the OpenCL ICD loader and the CUDA driver with NVRTC, and lists every device either
// reaches. A runtime that is missing or fails leaves its reason in tly_bbp_gpu_backend_status
// and the other goes on; with neither, the handle has no devices and `error` says why OpenCL
// is missing. Null only when memory runs out.
tly_bbp_gpu* tly_bbp_gpu_open(tly_bbp_gpu_error* error);
void tly_bbp_gpu_close(tly_bbp_gpu* gpu);

// Where the compiled programs are kept between runs: `directory` (made with mode 0700 where
// missing; used only where it is the user's own and no one else may write in it), one file per
// program, named by the hash of the source, the build options, the device and the driver's
// and compiler's versions. Null or empty: nowhere, every program is built from source, as
// before this call. Call it before the first block on any device. The cache never fails a
// run: an entry that is damaged, foreign or refused by the driver is built again from source
// and replaced, and a directory that cannot be written leaves every program built from source.
void tly_bbp_gpu_set_cache_directory(tly_bbp_gpu* gpu, const char* directory);

// What became of the programs this handle prepared for its devices (one per OpenCL device,
// one per CUDA architecture): built from source, loaded from the cache, stored in it.
struct tly_bbp_gpu_program_counts {
  uint64_t built_from_source, loaded_from_cache, stored;
};
tly_bbp_gpu_program_counts tly_bbp_gpu_programs(const tly_bbp_gpu* gpu);

// Why a runtime gives no devices ("no CUDA driver (libcuda.so.1)", ...); empty when it loaded.
const char* tly_bbp_gpu_backend_status(const tly_bbp_gpu* gpu, tly_bbp_gpu_backend backend);

int tly_bbp_gpu_device_count(const tly_bbp_gpu* gpu);
const tly_bbp_gpu_device_info* tly_bbp_gpu_device(const tly_bbp_gpu* gpu, int device);

// The device's name on the command line: "cuda:0", "opencl:1:0"; `size` of 32 is enough.
void tly_bbp_gpu_device_name(const tly_bbp_gpu_device_info* info, char* name, size_t size);
// The entry named so, or -1: names are as tly_bbp_gpu_device_name writes them, in decimal
// without signs, spaces or leading zeros.
int tly_bbp_gpu_find_device(const tly_bbp_gpu* gpu, const char* name);

// Polled before each launch with the terms of the block finished so far: true stops the block
// (a signal, a run ending).
using tly_bbp_gpu_stop_fn = bool (*)(void* context, uint64_t terms_done);

// Evaluates the block [first, last) of the series whose term k is 2^(shift - step*k) /
// (multiplier*k + offset), negated for odd k - first when `alternating`, on `device` with
// `arithmetic`: `block_result` receives `cells` normalised 32-bit digits (least significant
// first) of the sum modulo 1 of each term's floor to 32*cells bits, as int64 cells as
// tly_bbp_kernel leaves them. Launches last about `launch_ms` each (100 if 0), so that a
// display's watchdog never fires and `stop` (may be null) is asked soon; when it answers true the
// call returns false with code -1001. cells: 1 to 131. False on an error,
// described in `error`; the block result is then unspecified.
bool tly_bbp_gpu_block(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, int64_t* block_result,
                       uint64_t cells, int32_t alternating, uint64_t shift, uint64_t first, uint64_t last,
                       uint32_t step, uint32_t multiplier, uint32_t offset, uint32_t launch_ms,
                       tly_bbp_gpu_stop_fn stop, void* stop_context, tly_bbp_gpu_error* error);

// Each term's own cells, term first+i's cell c in cells_out[i*cells + c] (unsigned, unsigned
// of sign): the lanes the checks compare with the engine's scalar references.
bool tly_bbp_gpu_term_cells(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t* cells_out,
                            uint64_t cells, uint64_t shift, uint64_t first, uint64_t count, uint32_t step,
                            uint32_t multiplier, uint32_t offset, tly_bbp_gpu_error* error);

// Lane-steps per second of `arithmetic` on `device`, timed on `terms` terms of a series whose
// moduli lie near `modulus` (exponent about modulus / 2, as in the middle of a real series).
bool tly_bbp_gpu_rate(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t modulus,
                      uint64_t cells, uint64_t terms, double* lane_steps_per_second, tly_bbp_gpu_error* error);

// The faster arithmetic for a pass whose largest modulus is `largest_modulus`, by timing a short
// sample of each that covers it; the Montgomery one alone covers moduli of 2^52 and more.
bool tly_bbp_gpu_choose_arithmetic(tly_bbp_gpu* gpu, int device, uint64_t largest_modulus, uint64_t cells,
                                   tly_bbp_gpu_arithmetic* chosen, tly_bbp_gpu_error* error);

// The kernels' source, embedded at build time: what each driver (or NVRTC) compiles.
extern const char tly_bbp_gpu_kernel_source[];
