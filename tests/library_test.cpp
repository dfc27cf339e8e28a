// The public C interface: digits of pi at places of both formulas, two computations at once in
// one process, reports, cancellation, refused requests and the variant list.
#include <gtest/gtest.h>
#include <tallyspire/bbp.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exact.h"

namespace {

struct answer {
  int code;
  std::string hex, message;
};

answer compute(const tly_bbp_request& request, size_t hex_size = 1025) {
  std::vector<char> hex(hex_size, 'x');
  char message[200] = "untouched";
  const int code = tly_bbp_compute(&request, hex.data(), hex.size(), message, sizeof message);
  return {code, code == TLY_BBP_OK ? std::string(hex.data()) : "", message};
}

tly_bbp_request request(int32_t formula, uint64_t place, uint64_t digits, int32_t threads = 0) {
  tly_bbp_request r{};
  r.formula = formula;
  r.place = place;
  r.digits = digits;
  r.threads = threads;
  return r;
}

TEST(Library, DigitsOfBothFormulasAtSeveralPlaces) {
  const struct {
    int32_t formula;
    uint64_t place, digits;
  } cases[] = {{TLY_BBP_PLOUFFE, 1, 1}, {TLY_BBP_PLOUFFE, 1, 16}, {TLY_BBP_BELLARD, 8, 9},
               {TLY_BBP_PLOUFFE, 65535, 31}, {TLY_BBP_BELLARD, 1000001, 40}, {TLY_BBP_PLOUFFE, 99999, 1024}};
  for (const auto& c : cases) {
    const answer a = compute(request(c.formula, c.place, c.digits));
    EXPECT_EQ(a.code, TLY_BBP_OK) << a.message;
    EXPECT_EQ(a.hex, tly_bbp_oracle_hex(c.place, c.digits)) << c.formula << " at " << c.place;
    EXPECT_EQ(a.message, "");
  }
  // Far places, beyond the console's limits, from both formulas: published digits.
  for (int32_t formula : {TLY_BBP_PLOUFFE, TLY_BBP_BELLARD})
    EXPECT_EQ(compute(request(formula, 10000000, 14)).hex, "17af5863efed8d");
}

// Each computation keeps its own run: threads, reports and digits do not mix.
TEST(Library, TwoComputationsAtOnce) {
  struct counts {
    std::atomic<int> starts{0}, ends{0};
    std::atomic<uint64_t> last_done{0};
  } plouffe_counts, bellard_counts;
  tly_bbp_callbacks callbacks{};
  callbacks.series_start = [](void* user, int32_t, int32_t, uint64_t) { ++static_cast<counts*>(user)->starts; };
  callbacks.progress = [](void* user, uint64_t done, uint64_t) { static_cast<counts*>(user)->last_done = done; };
  callbacks.series_end = [](void* user, int32_t, int32_t, double) { ++static_cast<counts*>(user)->ends; };
  tly_bbp_callbacks plouffe_callbacks = callbacks, bellard_callbacks = callbacks;
  plouffe_callbacks.user = &plouffe_counts;
  bellard_callbacks.user = &bellard_counts;
  tly_bbp_request first = request(TLY_BBP_PLOUFFE, 100001, 40, 2), second = request(TLY_BBP_BELLARD, 200009, 24, 2);
  first.callbacks = &plouffe_callbacks;
  second.callbacks = &bellard_callbacks;
  answer a, b;
  std::thread one([&] { a = compute(first); }), two([&] { b = compute(second); });
  one.join();
  two.join();
  EXPECT_EQ(a.hex, tly_bbp_oracle_hex(100001, 40)) << a.message;
  EXPECT_EQ(b.hex, tly_bbp_oracle_hex(200009, 24)) << b.message;
  EXPECT_EQ(plouffe_counts.starts, 4);
  EXPECT_EQ(plouffe_counts.ends, 4);
  EXPECT_EQ(bellard_counts.starts, 7);
  EXPECT_EQ(bellard_counts.ends, 7);
  EXPECT_GT(plouffe_counts.last_done, 0u);
  EXPECT_GT(bellard_counts.last_done, 0u);
}

TEST(Library, CancelledBeforeOrWhileRunning) {
  int cancel = 1;
  tly_bbp_request r = request(TLY_BBP_BELLARD, 100000001, 8);
  r.cancel = &cancel;
  answer a = compute(r);
  EXPECT_EQ(a.code, TLY_BBP_CANCELLED);
  EXPECT_EQ(a.message, "Cancelled.");
  // Set from the first report on: the run is going, and stops between blocks.
  cancel = 0;
  tly_bbp_callbacks stop{};
  stop.user = &cancel;
  stop.series_start = [](void* user, int32_t, int32_t, uint64_t) { __atomic_store_n(static_cast<int*>(user), 1, __ATOMIC_RELAXED); };
  r.callbacks = &stop;
  EXPECT_EQ(compute(r).code, TLY_BBP_CANCELLED);
}

TEST(Library, RefusedRequestsSayWhy) {
  const struct {
    tly_bbp_request r;
    size_t hex_size;
    const char* starts;
  } cases[] = {{request(2, 1, 8), 9, "formula"},
               {request(TLY_BBP_PLOUFFE, 0, 8), 9, "place"},
               {request(TLY_BBP_BELLARD, 7, 8), 9, "place"},
               {request(TLY_BBP_PLOUFFE, uint64_t{1} << 60, 8), 9, "place"},
               {request(TLY_BBP_BELLARD, uint64_t{1} << 61, 8), 9, "place"},
               {request(TLY_BBP_PLOUFFE, 1, 0), 9, "digits"},
               {request(TLY_BBP_PLOUFFE, 1, 1025), 1026, "digits"},
               {request(TLY_BBP_PLOUFFE, 1, 8), 8, "hex"},
               {request(TLY_BBP_PLOUFFE, 1, 8, -1), 9, "threads"}};
  for (const auto& c : cases) {
    const answer a = compute(c.r, c.hex_size);
    EXPECT_EQ(a.code, TLY_BBP_BAD_ARGUMENT) << c.starts;
    EXPECT_EQ(a.message.rfind(c.starts, 0), 0u) << a.message;
  }
  tly_bbp_request unknown = request(TLY_BBP_PLOUFFE, 1, 8);
  unknown.variant = "no such variant";
  EXPECT_EQ(compute(unknown).code, TLY_BBP_BAD_ARGUMENT);
  EXPECT_EQ(tly_bbp_compute(nullptr, nullptr, 0, nullptr, 0), TLY_BBP_BAD_ARGUMENT);
}

// The estimate answers in a fraction of a run's time, and grows with the place; refused
// requests are refused as by the computation.
TEST(Library, EstimatesGrowWithThePlace) {
  double near = -1, far = -1;
  char message[200];
  const tly_bbp_request near_request = request(TLY_BBP_BELLARD, 1000001, 16);
  ASSERT_EQ(tly_bbp_estimate_seconds(&near_request, &near, message, sizeof message), TLY_BBP_OK) << message;
  const tly_bbp_request far_request = request(TLY_BBP_BELLARD, uint64_t{1} << 40, 16);
  ASSERT_EQ(tly_bbp_estimate_seconds(&far_request, &far, message, sizeof message), TLY_BBP_OK) << message;
  EXPECT_GT(near, 0);
  EXPECT_GT(far, 1000 * near);
  const tly_bbp_request refused = request(TLY_BBP_BELLARD, 7, 16);
  EXPECT_EQ(tly_bbp_estimate_seconds(&refused, &near, message, sizeof message), TLY_BBP_BAD_ARGUMENT);
}

// Every supported variant gives the digits; exactly one is the default.
TEST(Library, VariantsListedAndEachUsable) {
  const int32_t count = tly_bbp_get_variants(nullptr, 0);
  ASSERT_GT(count, 0);
  std::vector<tly_bbp_variant_info> list(static_cast<size_t>(count));
  ASSERT_EQ(tly_bbp_get_variants(list.data(), count), count);
  int defaults = 0;
  for (const tly_bbp_variant_info& v : list) {
    defaults += v.is_default;
    if (!v.supported) continue;
    tly_bbp_request r = request(TLY_BBP_BELLARD, 1000001, 16);
    r.variant = v.name;
    EXPECT_EQ(compute(r).hex, tly_bbp_oracle_hex(1000001, 16)) << v.name;
  }
  EXPECT_EQ(defaults, 1);
  EXPECT_STREQ(tly_bbp_library_version(), TLY_BBP_VERSION);
}

}  // namespace
