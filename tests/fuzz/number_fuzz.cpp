// libFuzzer target for the AutoStart number reading, checked against the reference
// reading (a regular expression and strtod).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "batch/leading_number.h"
#include "fuzz/number_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Longer texts add nothing the reference could tell apart, only regex time.
  if (size > 256) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const double got = tavrik::LeadingNumber(text);
  const auto want = tavrik::testing::ReferenceLeadingNumber(text);
  if (got != got) std::abort();
  if (want.exact ? got != want.value : (got != 0) != (want.value != 0)) std::abort();
  return 0;
}
