#pragma once

#include <cstddef>
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

// The whole content of a regular file, nullopt when it does not exist. Throws EFileError when it
// exists but cannot be read, is not a regular file (a FIFO does not block) or holds more than
// maxSize bytes. Thread-safe.
std::optional<std::string> ReadFileBounded(const std::string& fileName, size_t maxSize);

// Replaces the content through a temporary file beside it and a rename, so that a crash or a full
// disk never leaves a half-written file: the old content survives any failure. A symbolic link is
// followed; an existing file that may not be written is refused. The file gets mode, or keeps its
// own (0644 for a new one) when mode is not given; until then only its owner may read it, so a
// private file is never readable by others. Throws EFileError. Thread-safe for different files.
void ReplaceFile(const std::string& fileName, std::string_view content,
                 std::optional<unsigned> mode = std::nullopt);

// A path that a file names: as it stands when absolute (or empty), otherwise taken from the
// folder of file, made absolute.
std::string PathFromFolderOf(const std::string& file, const std::string& path);

// Creates the folder and any missing parents, each readable by its owner only (mkdir -p with
// mode 0700); folders that exist are left as they are. Throws EFileError naming the folder.
void MakeFolders(const std::string& folder);

}  // namespace quillbox
