// Arbitrary header text through the RFC 2047 decoder: the result is always valid UTF-8, text
// without "=?" or an escape comes back as it was when it is UTF-8, and decoding never grows the
// text past what its bound allows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "history/EncodedWords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbox;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string output = DecodeEncodedWords(input);
  const auto check = [](bool condition) {
    if (!condition)
      __builtin_trap();
  };
  check(ValidUtf8(output) == output);
  // No byte looked at becomes more than a few: a U+FFFD is three, and iconv's characters come
  // from at least one byte each.
  check(output.size() <= 8 * std::min(size, kMaxEncodedInput) + 16);
  if (input.find("=?") == std::string::npos && input.find('\x1b') == std::string::npos &&
      ValidUtf8(input) == input && size <= kMaxEncodedInput)
    check(output == input);
  return 0;
}
