#include "proxy/MessageSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/SysUtils.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/MessageAnnotation.h"

namespace quillbox {
namespace {

// Lines of a stream, each cut at kHeaderBytes + 1 bytes (the rest of a longer one dropped), so
// that a file of one endless line holds no memory.
class TLineReader {
 public:
  explicit TLineReader(std::istream& in) : in_(in) {}
  bool Next(std::string& line) {
    line.clear();
    std::streambuf& buffer = *in_.rdbuf();
    bool any = false;
    for (int c = buffer.sbumpc(); c != std::char_traits<char>::eof(); c = buffer.sbumpc()) {
      any = true;
      if (c == '\n')
        break;
      if (line.size() <= TInputMessage::kHeaderBytes)
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    return any;
  }

 private:
  std::istream& in_;
};

// Collects one message's header line by line, as a retrieval does.
class THeaderCollector {
 public:
  explicit THeaderCollector(std::string source) { message_.Source = std::move(source); }
  void Add(std::string line) {
    if (done_)
      return;
    bytes_ += line.size() + 2;
    if (bytes_ > TInputMessage::kHeaderBytes) {
      message_.TooLong = true;
      done_ = true;
    } else {
      done_ = !annotation_.CollectHeader(std::move(line));
    }
  }
  bool Done() const { return done_; }
  TInputMessage Take() {
    message_.Header = annotation_.Header();
    return std::move(message_);
  }

 private:
  TMessageAnnotation annotation_;
  TInputMessage message_;
  size_t bytes_ = 0;
  bool done_ = false;
};

// A message begins with a header field; anything else is some other file.
void RequireMessage(const std::string& source, const std::optional<std::string>& first) {
  if (!first)
    throw EInputError(source + " is empty: it holds no message.");
  if (!IsHeaderLine(*first) || first->front() == ' ' || first->front() == '\t')
    throw EInputError(source + " is no message: its first line is no header field.");
}

bool IsFromLine(const std::string& line) {
  return line.compare(0, 5, "From ") == 0;
}

void ReadStream(const std::string& source, std::istream& in, const TTakeMessage& take) {
  TLineReader reader(in);
  std::string line;
  std::optional<std::string> first;
  if (reader.Next(line))
    first = line;
  if (!first || !IsFromLine(*first)) {
    RequireMessage(source, first);
    THeaderCollector header(source);
    header.Add(*first);
    // The body says nothing the judgment uses.
    while (!header.Done() && reader.Next(line))
      header.Add(std::move(line));
    take(header.Take());
    return;
  }
  size_t count = 1;
  std::optional<THeaderCollector> header(source + " #1");
  bool afterEmpty = false;
  while (reader.Next(line)) {
    if (afterEmpty && IsFromLine(line)) {
      take(header->Take());
      header.emplace(source + " #" + std::to_string(++count));
      afterEmpty = false;
      continue;
    }
    afterEmpty = line.empty();
    header->Add(std::move(line));
  }
  take(header->Take());
}

void ReadFile(const std::string& path, const std::string& source, const TTakeMessage& take) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    throw EInputError(source + " cannot be read: " + std::strerror(errno) + ".");
  ReadStream(source, file, take);
  if (file.bad())
    throw EInputError(source + " cannot be read to its end.");
}

void ReadMaildir(const std::string& folder, const TTakeMessage& take) {
  namespace fs = std::filesystem;
  std::error_code ec;
  bool any = false;
  for (const char* sub : {"new", "cur"}) {
    const fs::path dir = fs::path(folder) / sub;
    if (!fs::is_directory(dir, ec))
      continue;
    any = true;
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && it->path().filename().string().front() != '.')
        names.push_back(it->path().filename().string());
    }
    if (ec)
      throw EInputError(dir.string() + " cannot be read: " + ec.message() + ".");
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = (dir / name).string();
      ReadFile(path, path, take);
    }
  }
  if (!any)
    throw EInputError(folder + " is a folder but no maildir: it has neither cur/ nor new/.");
}

}  // namespace

void ReadMessages(const std::string& input, std::istream& in, const TTakeMessage& take) {
  if (input == "-") {
    ReadStream("-", in, take);
    return;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(input, ec))
    ReadMaildir(input, take);
  else
    ReadFile(input, input, take);
}

void ReadMessagesOfText(const std::string& source, const std::string& text,
                        const TTakeMessage& take) {
  std::istringstream in(text);
  ReadStream(source, in, take);
}

}  // namespace quillbox
