// The disk cache of compiled GPU programs: its hash, its entries as hostile input, and PoCL's programs through it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/device_workers.h"
#include "exact.h"
#include "gpu.h"
#include "opencl_device.h"
#include "program_cache.h"
#include "run_program.h"

namespace {

std::string hex(const tly_bbp_gpu_cache_key& key) {
  std::string text;
  char pair[3];
  for (uint8_t b : key) std::snprintf(pair, sizeof pair, "%02x", b), text += pair;
  return text;
}

std::string contents(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(ProgramCache, Sha256OfTheStandardsExamples) {
  const struct {
    std::string message, digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hex(tly_bbp_gpu_sha256(c.message.data(), c.message.size())), c.digest) << c.message.size() << " bytes";
  // Parts are told apart by their lengths, not run together.
  EXPECT_NE(tly_bbp_gpu_program_key({"ab", "c"}), tly_bbp_gpu_program_key({"a", "bc"}));
  EXPECT_NE(tly_bbp_gpu_program_key({"abc"}), tly_bbp_gpu_program_key({"abc", ""}));
}

// Whatever lies where an entry should be, only the intact entry of the key is read; the
// writer replaces what can be replaced, and the directory is made 0700 and the entry 0600.
TEST(ProgramCache, OnlyAnIntactEntryOfTheKeyIsRead) {
  const std::string scratch = tly_bbp_scratch_directory();
  ASSERT_FALSE(scratch.empty());
  const std::string directory = scratch + "made/cache";
  const tly_bbp_gpu_cache_key key = tly_bbp_gpu_program_key({"a program"}), other = tly_bbp_gpu_program_key({"another"});
  const std::string binary = "\x7f" "ELF and the rest of a program";
  ASSERT_TRUE(tly_bbp_gpu_cache_write(directory, key, binary));
  const std::string path = directory + "/" + hex(key) + ".program";
  struct stat s {};
  ASSERT_EQ(stat(directory.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(path.c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 07777, 0600u);
  std::string read;
  EXPECT_TRUE(tly_bbp_gpu_cache_read(directory, key, &read));
  EXPECT_EQ(read, binary);
  EXPECT_FALSE(tly_bbp_gpu_cache_read(directory, other, &read));
  EXPECT_EQ(std::filesystem::directory_iterator(directory)->path().string(), path);  // no temporary file left
  const std::string intact = contents(path);

  using damage = std::function<void()>;
  const struct {
    const char* what;
    damage make;
    bool replaceable;
  } cases[] = {
      {"a byte of the binary flipped", [&] { std::string t = intact; t.back() ^= 1; put(path, t); }, true},
      {"a byte of the checksum flipped", [&] { std::string t = intact; t[60] ^= 1; put(path, t); }, true},
      {"a byte of the magic flipped", [&] { std::string t = intact; t[0] ^= 1; put(path, t); }, true},
      {"another format", [&] { std::string t = intact; t[8] ^= 2; put(path, t); }, true},
      {"cut short", [&] { put(path, intact.substr(0, intact.size() - 1)); }, true},
      {"cut to the header", [&] { put(path, intact.substr(0, tly_bbp_gpu_cache_header_size)); }, true},
      {"empty", [&] { put(path, ""); }, true},
      {"a byte more", [&] { put(path, intact + "x"); }, true},
      {"another key's entry", [&] {
         ASSERT_TRUE(tly_bbp_gpu_cache_write(directory, other, binary));
         std::filesystem::rename(directory + "/" + hex(other) + ".program", path);
       }, true},
      {"a symbolic link to an intact entry", [&] {
         put(scratch + "elsewhere", intact);
         std::filesystem::remove(path);
         std::filesystem::create_symlink(scratch + "elsewhere", path);
       }, true},
      {"a FIFO", [&] { std::filesystem::remove(path); ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, true},
      {"over the size cap", [&] {
         put(path, intact);
         ASSERT_EQ(truncate(path.c_str(), off_t(tly_bbp_gpu_cache_header_size + tly_bbp_gpu_cache_most_bytes + 1)), 0);
       }, true},
      {"a directory", [&] { std::filesystem::remove(path); std::filesystem::create_directory(path); }, false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(path);
    c.make();
    read = "left over";
    EXPECT_FALSE(tly_bbp_gpu_cache_read(directory, key, &read)) << c.what;
    EXPECT_EQ(read, "") << c.what;
    EXPECT_EQ(tly_bbp_gpu_cache_write(directory, key, binary), c.replaceable) << c.what;
    EXPECT_EQ(tly_bbp_gpu_cache_read(directory, key, &read), c.replaceable) << c.what;
    std::filesystem::remove_all(path);
  }
  EXPECT_EQ(contents(scratch + "elsewhere"), intact);  // the link's target untouched
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 0);

  // A directory someone else may write in is not used: an entry there could be anyone's.
  ASSERT_TRUE(tly_bbp_gpu_cache_write(directory, key, binary));
  ASSERT_EQ(chmod(directory.c_str(), 0770), 0);
  EXPECT_FALSE(tly_bbp_gpu_cache_read(directory, key, &read));
  EXPECT_FALSE(tly_bbp_gpu_cache_write(directory, other, binary));
  ASSERT_EQ(chmod(directory.c_str(), 0700), 0);
  EXPECT_TRUE(tly_bbp_gpu_cache_read(directory, key, &read));
  // No directory can be made under a file; an empty name is no directory.
  put(scratch + "file", "");
  EXPECT_FALSE(tly_bbp_gpu_cache_write(scratch + "file/cache", key, binary));
  EXPECT_FALSE(tly_bbp_gpu_cache_write("", key, binary));
  EXPECT_FALSE(tly_bbp_gpu_cache_read("", key, &read));
}

// The command line's choice of directory, from the environment it is given.
TEST(ProgramCache, TheDirectoryFollowsTheEnvironment) {
  const char* names[] = {"TLY_BBP_CACHE_DIR", "XDG_CACHE_HOME", "HOME"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i)
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  const std::optional<std::string> none;
  const struct {
    std::optional<std::string> chosen, xdg, home;
    std::string directory;
  } cases[] = {
      {"/c/bbp", "/x", "/h", "/c/bbp"},
      {"relative/bbp", none, "/h", "relative/bbp"},
      {"", "/x", "/h", ""},  // set and empty: no cache
      {none, "/x", "/h", "/x/tallyspire-bbp"},
      {none, "x", "/h", "/h/.cache/tallyspire-bbp"},  // a relative XDG_CACHE_HOME is ignored
      {none, "", "/h", "/h/.cache/tallyspire-bbp"},
      {none, none, "/h", "/h/.cache/tallyspire-bbp"},
      {none, none, "h", ""},
      {none, none, "", ""},
      {none, none, none, ""},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> values[] = {c.chosen, c.xdg, c.home};
    for (int i = 0; i < 3; ++i)
      values[i] ? setenv(names[i], values[i]->c_str(), 1) : unsetenv(names[i]);
    EXPECT_EQ(tly_bbp_program_cache_directory(), c.directory)
        << c.chosen.value_or("unset") << " " << c.xdg.value_or("unset") << " " << c.home.value_or("unset");
  }
  for (int i = 0; i < 3; ++i) saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
}

// A block on PoCL through a handle of its own whose programs are cached in `directory`
// (none where empty): its cells for both arithmetics, and what became of its program.
struct cached_run {
  bool ran = false;
  std::string error;
  std::vector<int64_t> cells;
  tly_bbp_gpu_program_counts programs{};
};

cached_run block_with_cache(const std::string& directory) {
  cached_run run;
  tly_bbp_gpu_error error{};
  tly_bbp_gpu* gpu = tly_bbp_gpu_open(&error);
  if (!gpu) return run;
  tly_bbp_gpu_set_cache_directory(gpu, directory.c_str());
  run.ran = true;
  for (const tly_bbp_gpu_arithmetic a : {tly_bbp_gpu_fp64_exact, tly_bbp_gpu_montgomery64}) {
    std::vector<int64_t> cells(4);
    if (!tly_bbp_gpu_block(gpu, opencl().device, a, cells.data(), 4, 1, 4000, 0, 1200, 4, 8, 1, 0, nullptr, nullptr,
                           &error)) {
      run.ran = false;
      run.error = error.message;
    }
    run.cells.insert(run.cells.end(), cells.begin(), cells.end());
  }
  run.programs = tly_bbp_gpu_programs(gpu);
  tly_bbp_gpu_close(gpu);
  return run;
}

std::vector<int64_t> uncached_cells() {
  const cached_run run = block_with_cache("");
  EXPECT_TRUE(run.ran) << run.error;
  EXPECT_EQ(run.programs.built_from_source, 1u);
  EXPECT_EQ(run.programs.loaded_from_cache + run.programs.stored, 0u);
  return run.cells;
}

#define EXPECT_PROGRAMS(counts, built, loaded, stored_now, what)                           \
  do {                                                                                     \
    EXPECT_EQ((counts).built_from_source, built##u) << what;                                \
    EXPECT_EQ((counts).loaded_from_cache, loaded##u) << what;                               \
    EXPECT_EQ((counts).stored, stored_now##u) << what;                                      \
  } while (0)

// A damaged entry, a binary the driver refuses, or something else in its place (the reader's
// own refusals are checked above) still gives the right cells: the program is built from source
// and stored over it where that can be done.
TEST(ProgramCache, StoredProgramsAreLoadedAndDamagedOnesBuiltAgain) {
  NEED_DEVICE();
  const std::vector<int64_t> expected = uncached_cells();
  const std::string scratch = tly_bbp_scratch_directory(), pristine = scratch + "pristine";
  // The first handle builds the program and stores it; the next loads it and builds nothing.
  const cached_run first = block_with_cache(pristine), second = block_with_cache(pristine);
  ASSERT_TRUE(first.ran && second.ran) << first.error << second.error;
  EXPECT_EQ(first.cells, expected);
  EXPECT_EQ(second.cells, expected);
  EXPECT_PROGRAMS(first.programs, 1, 0, 1, "empty cache");
  EXPECT_PROGRAMS(second.programs, 0, 1, 0, "warm cache");
  const std::filesystem::path entry = std::filesystem::directory_iterator(pristine)->path();
  const std::string intact = contents(entry.string());
  ASSERT_GT(intact.size(), tly_bbp_gpu_cache_header_size);
  tly_bbp_gpu_cache_key key;
  std::copy(intact.begin() + 16, intact.begin() + 48, key.begin());
  ASSERT_EQ(entry.filename().string(), hex(key) + ".program");

  const struct {
    const char* what;
    std::function<void(const std::string& directory, const std::string& path)> make;
    bool replaceable;
  } cases[] = {
      {"a byte flipped", [&](auto&, auto& path) { std::string t = intact; t[t.size() / 2] ^= 0x10; put(path, t); }, true},
      {"a directory", [&](auto&, auto& path) { std::filesystem::create_directory(path); }, false},
      // Intact as a file, refused by the driver: what a new driver may do with an old entry.
      {"a binary the driver refuses", [&](auto& directory, auto&) {
         ASSERT_TRUE(tly_bbp_gpu_cache_write(directory, key, "no program at all"));
       }, true},
  };
  for (const auto& c : cases) {
    const std::string directory = scratch + std::to_string(&c - cases), path = directory + "/" + hex(key) + ".program";
    std::filesystem::create_directory(directory);
    std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
    c.make(directory, path);
    const cached_run run = block_with_cache(directory);
    ASSERT_TRUE(run.ran) << c.what << ": " << run.error;
    EXPECT_EQ(run.cells, expected) << c.what;
    EXPECT_EQ(run.programs.built_from_source, 1u) << c.what;
    EXPECT_EQ(run.programs.loaded_from_cache, 0u) << c.what;
    EXPECT_EQ(run.programs.stored, c.replaceable ? 1u : 0u) << c.what;
    std::string binary;
    EXPECT_EQ(tly_bbp_gpu_cache_read(directory, key, &binary), c.replaceable) << c.what;
    if (c.replaceable) { EXPECT_EQ(block_with_cache(directory).programs.loaded_from_cache, 1u) << c.what; }
  }
}

// A cache that cannot be written, or may not be used, leaves the program built from source.
TEST(ProgramCache, AnUnusableDirectoryStillRuns) {
  NEED_DEVICE();
  const std::vector<int64_t> expected = uncached_cells();
  const std::string scratch = tly_bbp_scratch_directory();
  put(scratch + "file", "");
  std::filesystem::create_directory(scratch + "shared");
  ASSERT_EQ(chmod((scratch + "shared").c_str(), 0777), 0);
  std::vector<std::string> directories = {scratch + "file/programs", scratch + "shared"};
  if (geteuid() != 0) {  // the superuser writes anywhere
    std::filesystem::create_directory(scratch + "read-only");
    ASSERT_EQ(chmod((scratch + "read-only").c_str(), 0500), 0);
    directories.push_back(scratch + "read-only");
  }
  for (const std::string& directory : directories) {
    const cached_run run = block_with_cache(directory);
    ASSERT_TRUE(run.ran) << directory << ": " << run.error;
    EXPECT_EQ(run.cells, expected) << directory;
    EXPECT_PROGRAMS(run.programs, 1, 0, 0, directory);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch + "shared"), {}), 0);
}

// The program keeps its devices' programs where TLY_BBP_CACHE_DIR says, and nowhere when it
// is set and empty; the digits are the same either way.
TEST(ProgramCache, TheProgramUsesTheDirectoryItIsGiven) {
  NEED_DEVICE();
  const tly_bbp_gpu_device_info& d = *tly_bbp_gpu_device(opencl().gpu, opencl().device);
  const std::string device = "opencl:" + std::to_string(d.platform) + ":" + std::to_string(d.index);
  const std::string scratch = tly_bbp_scratch_directory();
  const std::vector<std::string> run = {TLY_BBP_PROGRAM, "--place", "100001", "--devices", device, "--quiet"};
  const std::string digits = "hexadecimal " + tly_bbp_oracle_hex(100001, 32);
  for (int time = 0; time < 2; ++time) {
    const tly_bbp_program_run cached = tly_bbp_run_command("", 120, {"TLY_BBP_CACHE_DIR=" + scratch + "c"}, run);
    ASSERT_EQ(cached.exit_code, 0) << cached.errors;
    EXPECT_NE(cached.output.find(digits), std::string::npos) << cached.output;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch + "c"), {}), 1);
  }
  const tly_bbp_program_run uncached = tly_bbp_run_command(
      "", 120, {"TLY_BBP_CACHE_DIR=", "HOME=" + scratch + "home", "XDG_CACHE_HOME=" + scratch + "xdg"}, run);
  ASSERT_EQ(uncached.exit_code, 0) << uncached.errors;
  EXPECT_NE(uncached.output.find(digits), std::string::npos) << uncached.output;
  // (PoCL keeps a cache of its own there.)
  EXPECT_FALSE(std::filesystem::exists(scratch + "home/.cache/tallyspire-bbp"));
  EXPECT_FALSE(std::filesystem::exists(scratch + "xdg/tallyspire-bbp"));
}

}  // namespace
