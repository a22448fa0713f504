// Arbitrary match expressions against arbitrary targets, as a user's rule file or match string
// could give them: every call must return 0 or 1 or raise EBRegExpError, within the matcher's
// bounds. The input is split at its first NUL byte: expression before, target after.
#include <cstddef>
#include <cstdint>
#include <string>

#include "judge/BRegExp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string expression = "m" + input.substr(0, split);
  const std::string target = split == std::string::npos ? "" : input.substr(split + 1);
  quillbox::TBRegExp& matcher = quillbox::SharedRegExp();
  try {
    if (matcher.Match(expression, target) == 1) {
      for (int i = 0; i < matcher.GroupCount(); ++i) {
        if (matcher.Strings(i).size() > target.size())
          __builtin_trap();
      }
    }
  } catch (const quillbox::EBRegExpError&) {
  }
  return 0;
}
