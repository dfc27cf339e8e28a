// The table of vector variants and the choice of the one in use.
#include "engine.h"

#include <cstring>

namespace {

bool always() { return true; }

void groups_sse41(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                  uint64_t exponent, uint64_t step, uint32_t groups) {
  for (uint32_t g = 0; g < groups; ++g)
    tly_bbp_vpowmod8_sse41(scratch, cells, moduli + 8 * g, known_zeros, exponent - 8 * g * step, step);
}

}  // namespace

const tly_bbp_variant tly_bbp_variants[] = {
    {"x64 SSE4.1", always, groups_sse41},
};
const int tly_bbp_variant_count = sizeof(tly_bbp_variants) / sizeof(tly_bbp_variants[0]);

namespace {

const tly_bbp_variant* fastest_supported() {
  for (int i = tly_bbp_variant_count - 1; i > 0; --i)
    if (tly_bbp_variants[i].supported()) return &tly_bbp_variants[i];
  return &tly_bbp_variants[0];
}

const tly_bbp_variant* active = fastest_supported();

}  // namespace

const tly_bbp_variant* tly_bbp_active_variant() { return active; }

bool tly_bbp_use_variant(const char* name) {
  for (int i = 0; i < tly_bbp_variant_count; ++i) {
    if (std::strcmp(tly_bbp_variants[i].name, name) == 0 && tly_bbp_variants[i].supported()) {
      active = &tly_bbp_variants[i];
      return true;
    }
  }
  return false;
}

void tly_bbp_vpowmod8(uint64_t* scratch, uint64_t cells, const uint64_t* moduli, uint32_t known_zeros,
                      uint64_t exponent, uint64_t step) {
  active->groups(scratch, cells, moduli, known_zeros, exponent, step, 1);
}
