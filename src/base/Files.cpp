#include "base/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quillbox {

namespace {

[[noreturn]] void Fail(const char* what, const std::string& fileName, int err) {
  throw EFileError(what, fileName, std::strerror(err));
}

// The size a file claims is checked first; files that claim none (under /proc) are counted.
[[noreturn]] void TooLarge(const std::string& fileName, size_t maxSize) {
  throw EFileError("Unable to read ", fileName,
                   "larger than " + std::to_string(maxSize) + " bytes");
}

TFileStamp StampOf(const struct stat& info) {
  return {static_cast<uintmax_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// The rename in WriteAndRename would replace a read-only file as well; it is refused as a write
// in place would be refused.
void CheckWritable(const std::string& target, const std::string& fileName) {
  if (access(target.c_str(), W_OK) != 0)
    Fail("Unable to write to ", fileName, errno);
}

// Writes content into a new temporary file beside target, with mode, and renames it over target;
// errors name fileName. The temporary file is created, never opened through a link.
void WriteAndRename(const std::string& target, const std::string& fileName,
                    std::string_view content, mode_t mode) {
  // mkostemp makes the file readable by its owner only.
  std::string temp = target + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    Fail("Unable to write to ", fileName, errno);
  int err = 0;
  size_t done = 0;
  while (err == 0 && done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno != EINTR)
      err = errno;
    else if (n > 0)
      done += static_cast<size_t>(n);
  }
  if (err == 0 && (fchmod(fd, mode) != 0 || fsync(fd) != 0))
    err = errno;
  if (close(fd) != 0 && err == 0)
    err = errno;
  if (err == 0 && rename(temp.c_str(), target.c_str()) != 0)
    err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    Fail("Unable to write to ", fileName, err);
  }
}

}  // namespace

std::optional<TFileStamp> FileStamp(const std::string& fileName) {
  struct stat info;
  if (stat(fileName.c_str(), &info) != 0)
    return std::nullopt;
  return StampOf(info);
}

std::optional<std::string> ReadFileBounded(const std::string& fileName, size_t maxSize,
                                           TFileStamp* stamp) {
  // O_NONBLOCK: a FIFO named as a file must not hang start-up; it is refused below.
  const int fd = open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return std::nullopt;
    Fail("Unable to read ", fileName, errno);
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat info;
  if (fstat(fd, &info) != 0)
    Fail("Unable to read ", fileName, errno);
  if (!S_ISREG(info.st_mode))
    throw EFileError("Unable to read ", fileName, "not a regular file");
  if (static_cast<uintmax_t>(info.st_size) > maxSize)
    TooLarge(fileName, maxSize);
  if (stamp != nullptr)
    *stamp = StampOf(info);
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      Fail("Unable to read ", fileName, errno);
    if (n == 0)
      break;
    if (content.size() + static_cast<size_t>(n) > maxSize)
      TooLarge(fileName, maxSize);
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

void ReplaceFile(const std::string& fileName, std::string_view content) {
  std::error_code ec;
  // Replace what a symbolic link points to, not the link.
  std::string target = fileName;
  if (std::filesystem::is_symlink(fileName, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(fileName, ec);
    if (!ec)
      target = resolved.string();
  }
  mode_t mode = 0644;
  struct stat info;
  if (stat(target.c_str(), &info) == 0) {
    CheckWritable(target, fileName);
    mode = info.st_mode & 07777;
  }
  WriteAndRename(target, fileName, content, mode);
}

void ReplaceOwnFile(const std::string& fileName, std::string_view content, unsigned mode) {
  struct stat info;
  if (lstat(fileName.c_str(), &info) == 0 && S_ISREG(info.st_mode))
    CheckWritable(fileName, fileName);
  WriteAndRename(fileName, fileName, content, mode);
}

TFileStatus FileStatus(const std::string& fileName) {
  TFileStatus status;
  struct stat info;
  if (lstat(fileName.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return status;
    Fail("Unable to read ", fileName, errno);
  }
  status.SymbolicLink = S_ISLNK(info.st_mode);
  if (status.SymbolicLink && stat(fileName.c_str(), &info) != 0)
    return status;  // a link that leads nowhere
  status.Exists = true;
  status.Mode = info.st_mode & 07777;
  return status;
}

std::string PathFromFolderOf(const std::string& file, const std::string& path) {
  if (path.empty() || std::filesystem::path(path).is_absolute())
    return path;
  return (std::filesystem::absolute(file).parent_path() / path).string();
}

void MakeFolders(const std::string& folder) {
  // Each missing level in turn, from the top.
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string level = folder.substr(0, slash);
    struct stat status {};
    if (stat(level.c_str(), &status) != 0) {
      if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
        Fail("Unable to create folder ", level, errno);
    } else if (!S_ISDIR(status.st_mode)) {
      throw EFileError("Unable to create folder ", folder, level + " is not a folder");
    }
    if (slash == std::string::npos)
      break;
  }
}

}  // namespace quillbox
