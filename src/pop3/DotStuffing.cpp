#include "pop3/DotStuffing.h"

namespace quillbox {

TLineStart ReadLineStart(std::string_view lineStart, size_t& terminatorLength) {
  if (lineStart.empty())
    return TLineStart::kUndecided;
  if (lineStart[0] != '.')
    return TLineStart::kPlain;
  const std::string_view after = lineStart.substr(1);
  if (after.empty() || after == "\r")
    return TLineStart::kUndecided;
  if (after[0] == '\n' || after.starts_with("\r\n")) {
    terminatorLength = after[0] == '\n' ? 2 : 3;
    return TLineStart::kTerminator;
  }
  return TLineStart::kStuffed;
}

bool UnstuffLine(std::string& line) {
  // The line's first bytes as the wire carried them, the line end put back.
  const std::string start = line.substr(0, 2) + "\r\n";
  size_t terminatorLength = 0;
  switch (ReadLineStart(start, terminatorLength)) {
    case TLineStart::kTerminator:
      return false;
    case TLineStart::kStuffed:
      line.erase(0, 1);
      return true;
    case TLineStart::kUndecided:
    case TLineStart::kPlain:
      return true;
  }
  return true;
}

TIdDotTerminatedWriter::TIdDotTerminatedWriter(TIdIOHandlerStack& io) : io_(io) {
  // Room for a chunk and the line that fills it up, so appending rarely reallocates.
  chunk_.reserve(kChunk + 1024);
}

void TIdDotTerminatedWriter::AddLine(std::string_view line) {
  if (NeedsStuffing(line))
    chunk_.push_back('.');
  chunk_.append(line);
  chunk_.append("\r\n");
  SendIfFull();
}

void TIdDotTerminatedWriter::AddLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines)
    AddLine(line);
}

void TIdDotTerminatedWriter::AddStuffed(std::string_view bytes) {
  // A large part goes out as it is, after what has collected, without a copy.
  if (bytes.size() >= kDirect) {
    Flush();
    io_.Write(bytes);
    sent_ += bytes.size();
    return;
  }
  chunk_.append(bytes);
  SendIfFull();
}

void TIdDotTerminatedWriter::Flush() {
  if (!chunk_.empty()) {
    io_.Write(chunk_);
    sent_ += chunk_.size();
    chunk_.clear();
  }
}

void TIdDotTerminatedWriter::Finish() {
  chunk_.append(".\r\n");
  Flush();
}

void TIdDotTerminatedWriter::SendIfFull() {
  if (chunk_.size() >= kChunk)
    Flush();
}

void WriteDotTerminated(TIdIOHandlerStack& io, const std::vector<std::string>& lines) {
  TIdDotTerminatedWriter writer(io);
  writer.AddLines(lines);
  writer.Finish();
}

}  // namespace quillbox
