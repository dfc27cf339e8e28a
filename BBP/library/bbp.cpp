// The public C interface: a request checked, turned into an engine run, and its digits as text.
#include <tallyspire/bbp.h>

#include <cstdio>
#include <vector>

#include "../engine/engine.h"
#include "../engine/pblock.h"
#include "../formulas/formulas.h"
#include "../formulas/run_values.h"
#include "estimate.h"

namespace {

int fail(int code, char* message, size_t message_size, const char* text) {
  if (message && message_size > 0) std::snprintf(message, message_size, "%s", text);
  return code;
}

// The engine's status as the interface's error code.
int error_of(int32_t status) {
  switch (status) {
    case tly_bbp_status_done: return TLY_BBP_OK;
    case tly_bbp_status_cancelled: return TLY_BBP_CANCELLED;
    case tly_bbp_status_no_memory: return TLY_BBP_NO_MEMORY;
    default: return TLY_BBP_COMPUTATION;
  }
}

// Checks a request and makes the engine's run of it; TLY_BBP_OK, or the error with its message.
int prepare(const tly_bbp_request* request, tly_bbp_engine_run* run, char* message, size_t message_size) {
  if (!request) return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "no request");
  const tly_bbp_request& r = *request;
  if (r.formula != TLY_BBP_PLOUFFE && r.formula != TLY_BBP_BELLARD)
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "formula: neither Plouffe (0) nor Bellard (1)");
  const tly_bbp_place_limit& limit = tly_bbp_command_line_place_limits[r.formula];
  if (r.place < limit.low || r.place > limit.high)
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size,
                r.formula == TLY_BBP_PLOUFFE ? "place: Plouffe takes places from 1 to 2^60 - 1"
                                             : "place: Bellard takes places from 8 to 2^61 - 1");
  if (r.digits < 1 || r.digits > 1024)
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "digits: from 1 to 1024");
  if (r.threads < 0 || r.threads > 1024)
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "threads: from 0 (one per processor) to 1024");
  *run = {};
  run->threads = r.threads;
  run->variants = tly_bbp_engine_choice;
  if (r.variant && !tly_bbp_use_variant(&run->variants, r.variant))
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size,
                "variant: not one of this library's, or not supported by this processor");
  if (r.callbacks)
    run->callbacks = {r.callbacks->user, r.callbacks->series_start, r.callbacks->progress, r.callbacks->series_end};
  run->cancel = r.cancel;
  return TLY_BBP_OK;
}

}  // namespace

extern "C" int tly_bbp_compute(const tly_bbp_request* request, char* hex, size_t hex_size, char* message,
                               size_t message_size) {
  tly_bbp_engine_run run;
  if (const int refused = prepare(request, &run, message, message_size)) return refused;
  const tly_bbp_request& r = *request;
  if (!hex || hex_size < r.digits + 1)
    return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "hex: the buffer must hold digits + 1 bytes");

  const tly_bbp_run_values values = tly_bbp_command_line_run_values(r.place, r.digits);
  std::vector<uint32_t> words;
  try {
    words.resize(values.words);
  } catch (...) {
    return fail(TLY_BBP_NO_MEMORY, message, message_size, tly_bbp_status_message(tly_bbp_status_no_memory));
  }
  const int32_t status = (r.formula == TLY_BBP_PLOUFFE ? tly_bbp_Pi_Plouffe : tly_bbp_Pi_Bellard)(
      words.data(), values.position, values.words, values.block_hint, run);
  if (status != tly_bbp_status_done) return fail(error_of(status), message, message_size, tly_bbp_status_message(status));
  // The digits read as the console's: the extra guard words of far places lie below.
  tly_bbp_hex_digits(words.data() + (values.words - tly_bbp_derive_run_values(r.place, r.digits).words), r.digits, hex);
  hex[r.digits] = '\0';
  if (message && message_size > 0) message[0] = '\0';
  return TLY_BBP_OK;
}

extern "C" int tly_bbp_estimate_seconds(const tly_bbp_request* request, double* seconds, char* message, size_t message_size) {
  tly_bbp_engine_run run;
  if (const int refused = prepare(request, &run, message, message_size)) return refused;
  if (!seconds) return fail(TLY_BBP_BAD_ARGUMENT, message, message_size, "seconds: no place for the answer");
  const tly_bbp_request& r = *request;
  const tly_bbp_estimate e = tly_bbp_estimate_run_time({r.formula, r.place, r.digits, r.threads, run.variants});
  if (e.seconds < 0) return fail(TLY_BBP_NO_MEMORY, message, message_size, tly_bbp_status_message(tly_bbp_status_no_memory));
  *seconds = e.seconds;
  if (message && message_size > 0) message[0] = '\0';
  return TLY_BBP_OK;
}

extern "C" int32_t tly_bbp_get_variants(tly_bbp_variant_info* list, int32_t capacity) {
  const tly_bbp_variant* chosen = tly_bbp_active_variant(tly_bbp_engine_choice);
  for (int32_t i = 0; i < tly_bbp_variant_count && i < capacity; ++i) {
    const tly_bbp_variant& v = tly_bbp_variants[i];
    list[i] = {v.name, v.moduli_below, v.supported() ? 1 : 0, &v == chosen ? 1 : 0};
  }
  return tly_bbp_variant_count;
}

extern "C" const char* tly_bbp_library_version(void) { return TLY_BBP_VERSION; }
