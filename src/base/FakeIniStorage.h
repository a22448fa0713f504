#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/IniFiles.h"
#include "base/Mutex.h"

namespace quillbox {

// In-memory INI files for tests, with switchable faults. failSaveAfter lets a given number of
// saves succeed and fails the rest. Thread-safe: mutex_ guards the files and counts while the
// storage is in use; a test sets them up before and reads them after, without the lock, so they
// carry no annotation.
class FakeIniStorage : public IniStorage {
 public:
  FakeIniStorage() = default;
  // Starts with one file; a null content means none.
  FakeIniStorage(const std::string& fileName, const char* content) {
    if (content != nullptr)
      files[fileName] = content;
  }

  std::optional<std::string> Load(const std::string& fileName, size_t) override {
    TMutexLock lock(mutex_);
    ++loads;
    if (failLoad)
      throw EIniFileError("Unable to read " + fileName);
    const auto it = files.find(fileName);
    if (it == files.end())
      return std::nullopt;
    return it->second;
  }
  void Save(const std::string& fileName, std::string_view content,
            std::optional<unsigned> mode) override {
    TMutexLock lock(mutex_);
    if (failSaveAfter == 0)
      throw EIniFileError("Unable to write to " + fileName);
    if (failSaveAfter > 0)
      --failSaveAfter;
    ++saves;
    files[fileName] = std::string(content);
    if (mode)
      modes[fileName] = *mode;
  }
  void MakeFolders(const std::string& folder) override {
    TMutexLock lock(mutex_);
    folders.push_back(folder);
  }
  // A file stands for itself, with the mode a save gave it or 0600.
  TFileStatus Status(const std::string& fileName) override {
    TMutexLock lock(mutex_);
    const auto mode = modes.find(fileName);
    return {false, files.contains(fileName), mode != modes.end() ? mode->second : 0600};
  }

  std::map<std::string, std::string> files;
  std::map<std::string, unsigned> modes;  // the modes saves gave
  std::vector<std::string> folders;       // made, in order
  bool failLoad = false;
  int failSaveAfter = -1;  // -1: never fail
  int loads = 0;
  int saves = 0;

 private:
  TMutex mutex_;
};

}  // namespace quillbox
