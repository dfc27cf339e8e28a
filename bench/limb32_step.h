// A prototype, not a variant: the 64-bit Montgomery step on 32-bit limbs (vpmuludq), lane by vector lane.
//
// x*x*2^-64 mod o for odd o < 2^62, x < o: the 128-bit square from four 32x32 products (three
// for a square), u = low(x*x)*o^-1 mod 2^64, high(u*o) from four more, then the difference
// corrected once, the doubling where the exponent bit is set, corrected once. Include only from
// a translation unit built for the instruction set of `V`.
#pragma once
#include <cstdint>

namespace {

template <typename V>
inline typename V::i limb32_high_product(typename V::i u, typename V::i o, typename V::i o_high) {
  const typename V::i u_high = V::srli32(u);
  const typename V::i a = V::mul32(u, o), b = V::mul32(u, o_high), c = V::mul32(u_high, o),
                      d = V::mul32(u_high, o_high);
  const typename V::i mid = V::add(V::add(V::srli32(a), V::low32(b)), V::low32(c));
  return V::add(V::add(d, V::srli32(b)), V::add(V::srli32(c), V::srli32(mid)));
}

template <typename V>
inline typename V::i limb32_step(typename V::i x, typename V::i o, typename V::i o_high, typename V::i o_inverse,
                                 typename V::i bit_mask) {
  const typename V::i x_high = V::srli32(x);
  const typename V::i a = V::mul32(x, x), b = V::mul32(x, x_high), d = V::mul32(x_high, x_high);
  const typename V::i b2 = V::add(b, b);  // x0*x1 twice: below 2^63 as x < 2^62
  const typename V::i mid = V::add(V::srli32(a), V::low32(b2));
  const typename V::i low = V::add(a, V::slli32(b2));
  const typename V::i high = V::add(V::add(d, V::srli32(b2)), V::srli32(mid));
  const typename V::i u = V::mullo(low, o_inverse);
  const typename V::i h = limb32_high_product<V>(u, o, o_high);
  typename V::i t = V::add_where_less(V::sub(high, h), high, h, o);
  t = V::add_where(t, t, bit_mask);
  return V::sub_where_at_least(t, o);
}

}  // namespace
