// Test support: whether this build runs under AddressSanitizer or ThreadSanitizer, which make
// programs many times slower and cannot run under valgrind.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool tly_bbp_sanitizer_build = true;
#elif defined(__has_feature)
constexpr bool tly_bbp_sanitizer_build = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool tly_bbp_sanitizer_build = false;
#endif
