// Lane-step rates of the GPU arithmetics on a device, and the choice between them by a timed sample.
#include <algorithm>
#include <bit>
#include <chrono>
#include <vector>

#include "gpu.h"

namespace {

// A sample of a series of step 4 and moduli 8k+1 whose moduli lie near `modulus`, the exponent
// half of it, as in the middle of a real series.
constexpr uint32_t sample_step = 4, sample_multiplier = 8, sample_offset = 1;

// Square-and-double steps of a term of exponent e: its bits below the five-bit window.
uint64_t steps_per_term(uint64_t e) {
  const int bits = 64 - std::countl_zero(e);
  return bits > 5 ? static_cast<uint64_t>(bits - 5) : 0;
}

}  // namespace

bool tly_bbp_gpu_rate(tly_bbp_gpu* gpu, int device, tly_bbp_gpu_arithmetic arithmetic, uint64_t modulus,
                      uint64_t cells, uint64_t terms, double* lane_steps_per_second, tly_bbp_gpu_error* error) {
  const uint64_t first = (modulus - sample_offset) / sample_multiplier;
  const uint64_t shift = sample_step * first + modulus / 2;
  std::vector<int64_t> block(cells);
  // The first call builds the program: a few terms, untimed.
  if (!tly_bbp_gpu_block(gpu, device, arithmetic, block.data(), cells, 0, shift, first, first + 64, sample_step,
                         sample_multiplier, sample_offset, 0, nullptr, nullptr, error))
    return false;
  const auto started = std::chrono::steady_clock::now();
  if (!tly_bbp_gpu_block(gpu, device, arithmetic, block.data(), cells, 0, shift, first, first + terms, sample_step,
                         sample_multiplier, sample_offset, 0, nullptr, nullptr, error))
    return false;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  *lane_steps_per_second = static_cast<double>(terms * steps_per_term(modulus / 2)) / std::max(seconds, 1e-9);
  return true;
}

bool tly_bbp_gpu_choose_arithmetic(tly_bbp_gpu* gpu, int device, uint64_t largest_modulus, uint64_t cells,
                                   tly_bbp_gpu_arithmetic* chosen, tly_bbp_gpu_error* error) {
  const tly_bbp_gpu_device_info* info = tly_bbp_gpu_device(gpu, device);
  if (!info) {
    if (error) *error = {-1000, "no such GPU device"};
    return false;
  }
  *chosen = tly_bbp_gpu_montgomery64;
  if (info->fp64 == tly_bbp_gpu_fp64_none || largest_modulus >= tly_bbp_gpu_moduli_below(tly_bbp_gpu_fp64_exact))
    return true;
  // About a launch's worth of work on each: 64 terms per compute unit and pass, a few passes.
  const uint64_t terms = uint64_t{info->compute_units ? info->compute_units : 1} * 64 * (info->is_gpu ? 64 : 4);
  const uint64_t modulus = largest_modulus > 1024 ? largest_modulus : 1024;
  double fp64 = 0, montgomery = 0;
  if (!tly_bbp_gpu_rate(gpu, device, tly_bbp_gpu_fp64_exact, modulus, cells, terms, &fp64, error)) return false;
  if (!tly_bbp_gpu_rate(gpu, device, tly_bbp_gpu_montgomery64, modulus, cells, terms, &montgomery, error)) return false;
  if (fp64 > montgomery) *chosen = tly_bbp_gpu_fp64_exact;
  return true;
}
