#include "base/Files.h"
#include "base/IniFiles.h"

namespace quillbox {

namespace {

class DiskStorage : public IniStorage {
 public:
  std::optional<std::string> Load(const std::string& fileName, size_t maxSize) override {
    return ReadFileBounded(fileName, maxSize);
  }

  void Save(const std::string& fileName, std::string_view content,
            std::optional<unsigned> mode) override {
    if (mode)
      ReplaceOwnFile(fileName, content, *mode);
    else
      ReplaceFile(fileName, content);
  }

  TFileStatus Status(const std::string& fileName) override { return FileStatus(fileName); }

  void MakeFolders(const std::string& folder) override { quillbox::MakeFolders(folder); }
};

}  // namespace

IniStorage& DiskIniStorage() {
  static DiskStorage storage;
  return storage;
}

}  // namespace quillbox
