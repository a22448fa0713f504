#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/IniFiles.h"

namespace quillbox {

namespace {

class DiskStorage : public IniStorage {
 public:
  std::optional<std::string> Load(const std::string& fileName, size_t maxSize) override {
    // O_NONBLOCK: a FIFO named as INI file must not hang start-up; it is refused below.
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
      throw EIniFileError("Unable to read ", fileName, "not a regular file");
    if (static_cast<uintmax_t>(info.st_size) > maxSize)
      TooLarge(fileName, maxSize);
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

  void Save(const std::string& fileName, std::string_view content) override {
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
      // The rename below would replace a read-only file as well; refuse it as a write in place
      // would be refused.
      if (access(target.c_str(), W_OK) != 0)
        Fail("Unable to write to ", fileName, errno);
      mode = info.st_mode & 07777;
    }
    std::string temp = target + ".XXXXXX";
    const int fd = mkstemp(temp.data());
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

 private:
  // The size a file claims is checked first; files that claim none (under /proc) are counted.
  [[noreturn]] static void TooLarge(const std::string& fileName, size_t maxSize) {
    throw EIniFileError("Unable to read ", fileName,
                        "larger than " + std::to_string(maxSize) + " bytes");
  }
  [[noreturn]] static void Fail(const char* what, const std::string& fileName, int err) {
    throw EIniFileError(what, fileName, std::strerror(err));
  }
};

}  // namespace

IniStorage& DiskIniStorage() {
  static DiskStorage storage;
  return storage;
}

}  // namespace quillbox
