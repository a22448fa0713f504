#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace quillbox {

// A file that could not be read or written. The text names the file, because the desktop shows
// it to the user as it stands; Reason() is the part after the file's name, for a caller that
// names the file in its own words (the whole text when there is no such part).
class EFileError : public Exception {
 public:
  explicit EFileError(const std::string& message) : Exception(message), reason_(message) {}
  EFileError(const std::string& what, const std::string& fileName, const std::string& reason)
      : Exception(what + fileName + ": " + reason), reason_(reason) {}

  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// What tells one content of a file from the next without reading it: its size and the time it
// was last written.
struct TFileStamp {
  uintmax_t Size = 0;
  int64_t ModifiedNs = 0;
  bool operator==(const TFileStamp&) const = default;
};

// The whole content of a regular file, nullopt when it does not exist. Throws EFileError when it
// exists but cannot be read, is not a regular file (a FIFO does not block) or holds more than
// maxSize bytes. stamp, when given, gets the stamp of the content read. Thread-safe.
std::optional<std::string> ReadFileBounded(const std::string& fileName, size_t maxSize,
                                           TFileStamp* stamp = nullptr);

// The stamp of a file as it is now; none when it does not exist or cannot be examined.
// Thread-safe.
std::optional<TFileStamp> FileStamp(const std::string& fileName);

// Replaces the content through a temporary file beside it and a rename, so that a crash or a full
// disk never leaves a half-written file: the old content survives any failure. A symbolic link is
// followed (the user may keep the file elsewhere); an existing file that may not be written is
// refused. The file keeps its mode (0644 for a new one); until the rename only its owner may read
// the new content. Throws EFileError. Thread-safe for different files.
void ReplaceFile(const std::string& fileName, std::string_view content);

// As ReplaceFile for a file of the program's own, which gets mode, but never through a symbolic
// link: the temporary file is made new (O_EXCL, O_NOFOLLOW) and renamed over the name itself, so
// whatever stands there, a link included, is replaced and the file a link points to never. Until
// then only its owner may read it, so a private file is never readable by others.
void ReplaceOwnFile(const std::string& fileName, std::string_view content, unsigned mode);

// What a name stands for. A plain value.
struct TFileStatus {
  bool SymbolicLink = false;  // the name itself is a symbolic link
  bool Exists = false;        // the name leads to a file or folder, through a link or not
  unsigned Mode = 0;          // the permission bits of what it leads to
};

// Throws EFileError when the name cannot be looked at (a folder on the way that may not be
// searched). Thread-safe.
TFileStatus FileStatus(const std::string& fileName);

// A path that a file names: as it stands when absolute (or empty), otherwise taken from the
// folder of file, made absolute.
std::string PathFromFolderOf(const std::string& file, const std::string& path);

// Creates the folder and any missing parents, each readable by its owner only (mkdir -p with
// mode 0700); folders that exist are left as they are. Throws EFileError naming the folder.
void MakeFolders(const std::string& folder);

}  // namespace quillbox
