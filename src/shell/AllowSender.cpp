#include "shell/AllowSender.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Files.h"
#include "judge/AllowList.h"
#include "judge/JudgeFiles.h"

namespace quillbox {

std::string ProposedAllowLine(const THistoryRow& row) {
  if (row.Confirmed && !row.HostName.empty())
    return SenderDomain(row.HostName);
  return row.Address;
}

std::string AllowLineProblem(const std::string& line) {
  if (line.find_first_of("\r\n") != std::string::npos)
    return "An entry is one line.";
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos)
    return "The entry is empty.";
  if (line[first] == '#')
    return "A line beginning with # is a comment, not an entry.";
  const TAllowList check(TJudgeFiles::kAllowName, line);
  if (!check.Problems().empty())
    return check.Problems().front().Reason;
  if (check.Size() != 1)
    return "The line holds no entry (a # after a blank begins a comment).";
  return "";
}

bool IsWritableFile(const std::string& fileName) {
  return ::access(fileName.c_str(), W_OK) == 0;
}

std::string AppendAllowLine(const std::string& line, const std::string& allowPath,
                            const std::string& iniFileName,
                            const std::function<bool(const std::string&)>& writable) {
  std::string target = allowPath;
  if (target.empty() || !writable(target)) {
    const size_t slash = iniFileName.rfind('/');
    target = (slash == std::string::npos ? std::string() : iniFileName.substr(0, slash + 1)) +
             TJudgeFiles::kAllowName;
  }
  const std::optional<std::string> content = ReadFileBounded(target, TJudgeFiles::kMaxAllowSize);
  // A last line without its line end must not run into the new one.
  const std::string text =
      (content && !content->empty() && content->back() != '\n' ? "\n" : "") + line + "\n";
  const int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw EFileError("Cannot write ", target, std::strerror(errno));
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size()))
    throw EFileError("Cannot write ", target, written < 0 ? std::strerror(error) : "short write");
  return target;
}

}  // namespace quillbox
