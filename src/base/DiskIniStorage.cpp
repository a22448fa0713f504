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
    ReplaceFile(fileName, content, mode);
  }

  void MakeFolders(const std::string& folder) override { quillbox::MakeFolders(folder); }
};

}  // namespace

IniStorage& DiskIniStorage() {
  static DiskStorage storage;
  return storage;
}

}  // namespace quillbox
