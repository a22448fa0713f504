// Arbitrary login names ("user#host:port;rulefile") through the parser: a name is either refused
// with one of its four messages, or split into parts that stand in the name in that order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "proxy/LoginName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbox;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const TLoginName name = ParseLoginName(input);
  const auto check = [](bool condition) {
    if (!condition)
      __builtin_trap();
  };
  if (name.Refused()) {
    check(name.Refusal.starts_with("Delimiter ") || name.Refusal == "Config file name is empty.");
    check(name.RefusalLogPrefix == "C<-P    -ERR " || name.RefusalLogPrefix == "C<-P     -ERR ");
    return 0;
  }
  const size_t hash = input.find('#');
  const size_t colon = input.find(':', hash);
  const size_t semicolon = input.find(';', colon);
  check(hash != std::string::npos && colon != std::string::npos && semicolon != std::string::npos);
  check(input.substr(0, hash).find(name.User) != std::string::npos);
  check(input.substr(hash, colon - hash).find(name.Host) != std::string::npos);
  check(!name.RuleFile.empty() && input.substr(semicolon + 1) == name.RuleFile);
  const std::string digits = std::to_string(std::llabs(static_cast<long long>(name.Port)));
  check(name.Port == 110 ||
        input.substr(colon, semicolon - colon).find(digits) != std::string::npos);
  return 0;
}
