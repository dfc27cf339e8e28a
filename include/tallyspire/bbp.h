/* Tallyspire BBP: hexadecimal digits of pi at any place, without the digits before it.
 *
 * A silent library: it prints nothing, reads nothing and never ends the process; every failure
 * comes back as an error code with a message. Several computations may run at once in one
 * process, each on threads of its own. Plain C, usable from C and C++. */
#ifndef TALLYSPIRE_BBP_H
#define TALLYSPIRE_BBP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The formulas: Plouffe's (places from 1) and Bellard's (places from 8), which agree digit for
 * digit; computing both and comparing is the usual check of a far result. */
enum { TLY_BBP_PLOUFFE = 0, TLY_BBP_BELLARD = 1 };

/* Error codes: 0 is success. */
enum {
  TLY_BBP_OK = 0,
  TLY_BBP_CANCELLED = 1,      /* the caller's cancellation flag was set */
  TLY_BBP_BAD_ARGUMENT = 2,   /* a formula, place, digit count, thread count or variant out of range */
  TLY_BBP_NO_MEMORY = 3,      /* "Memory Allocation Failure" */
  TLY_BBP_COMPUTATION = 4     /* a check of the arithmetic failed: the digits would be wrong */
};

/* What a computation reports while it runs; every pointer may be null. series_start and
 * series_end come on the calling thread; progress on a computing thread after each finished
 * block of terms, one call at a time. A formula is a sum of `count` series (4 for Plouffe, 7 for
 * Bellard) of `term_count` terms each, evaluated one after another. */
typedef struct tly_bbp_callbacks {
  void *user; /* passed back to each callback */
  void (*series_start)(void *user, int32_t index, int32_t count, uint64_t term_count);
  void (*progress)(void *user, uint64_t terms_done, uint64_t term_count);
  void (*series_end)(void *user, int32_t index, int32_t count, double seconds);
} tly_bbp_callbacks;

/* One computation. Zero-initialise it, then set what differs from the defaults. */
typedef struct tly_bbp_request {
  int32_t formula;   /* TLY_BBP_PLOUFFE or TLY_BBP_BELLARD */
  uint64_t place;    /* hexadecimal place of the first digit: 1 is the first digit after the point;
                        at most 2^60 - 1 (Plouffe) or 2^61 - 1 (Bellard) */
  uint64_t digits;   /* hexadecimal digits wanted, 1 to 1024 */
  int32_t threads;   /* 0: one per processor */
  const char *variant;              /* a name from tly_bbp_get_variants, or null: the fastest */
  const tly_bbp_callbacks *callbacks; /* null: no reports */
  const int *cancel; /* null, or a flag the caller owns: set it to nonzero (from any thread or a
                        signal handler, with an atomic store) and the computation stops at the
                        next block of terms with TLY_BBP_CANCELLED */
} tly_bbp_request;

/* Computes the digits: `hex` receives `digits` lowercase hexadecimal digits and a terminating
 * zero, so it must hold digits + 1 bytes (hex_size). Returns an error code; on failure, and
 * where message is not null, a message of at most message_size - 1 bytes in `message`. */
int tly_bbp_compute(const tly_bbp_request *request, char *hex, size_t hex_size, char *message,
                    size_t message_size);

/* Predicts how long tly_bbp_compute would take for the request on this machine, in seconds,
 * by timing sample blocks of every series at the request's place (a fraction of a second, even
 * for runs of days); callbacks and cancel are not used. Returns an error code as tly_bbp_compute. */
int tly_bbp_estimate_seconds(const tly_bbp_request *request, double *seconds, char *message, size_t message_size);

/* The arithmetic variants built into the library, in the library's order. */
typedef struct tly_bbp_variant_info {
  const char *name;       /* e.g. "x64 AVX2" */
  uint64_t moduli_below;  /* the variant takes moduli below this; 0: every 64-bit modulus */
  int32_t supported;      /* this processor runs it */
  int32_t is_default;     /* the one a request without a variant uses */
} tly_bbp_variant_info;

/* Fills at most `capacity` entries of `list` (list may be null when capacity is 0) and returns
 * the number of variants. */
int32_t tly_bbp_get_variants(tly_bbp_variant_info *list, int32_t capacity);

/* The library's version, "major.minor.patch". */
const char *tly_bbp_library_version(void);

#ifdef __cplusplus
}
#endif

#endif
