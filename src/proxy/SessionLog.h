#pragma once

#include <string>
#include <string_view>

#include "base/LogSink.h"

namespace quillbox {

// Text with password shown as "********" wherever it stands as a whole word: not run together
// with a letter or digit on either side, so that a short password does not garble the words it
// happens to be part of ("in" stays in "Login failed."). A leading "+OK" or "-ERR" is the
// protocol's word, not the server's text: it stays, so that a refusal still reads as one. So do
// the keptFields words after it (after the blanks before each): where the client reads words as
// data (a message number, a size, a unique-id), a password that happens to equal one is no echo,
// and masking it would break the listing.
std::string MaskPassword(std::string_view text, std::string_view password, size_t keptFields = 0);

// The log of one client session: every line passes on with the password masked in its text (the
// part after the eight-character direction column), so that a real server that echoes the
// password in any reply (CAPA, STAT, a later answer) cannot get it into the log. The password
// is read at each line, so one set during the session counts from then on.
// Used by the session's own thread only; the log it passes to must be thread-safe.
class TSessionLog : public LogSink {
 public:
  TSessionLog(LogSink& log, const std::string& password) : log_(log), password_(password) {}
  void AddToMemo(const std::string& line) override;

 private:
  LogSink& log_;
  const std::string& password_;
};

}  // namespace quillbox
