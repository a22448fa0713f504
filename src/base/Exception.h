#pragma once

#include <exception>
#include <string>

namespace quillbox {

// The one base class of every error this program raises. A POP3 command that fails with one of
// these answers "-ERR" and the message; anything else escaping a command ends the connection.
// Immutable after construction, so safe to read from any thread.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace quillbox
