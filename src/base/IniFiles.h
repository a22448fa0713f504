#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Files.h"

namespace quillbox {

// An INI file that could not be read or written.
using EIniFileError = EFileError;

// Where INI files, and the certificate files kept beside them, live. The real one is the file
// system; tests use an in-memory one to inject faults. Implementations must be safe to call from
// several threads at once (the proxy reads per-user rule files on every connection thread).
class IniStorage {
 public:
  virtual ~IniStorage() = default;
  // The whole content, nullopt when the file does not exist. Throws EIniFileError when the file
  // exists but cannot be read, or is larger than maxSize bytes.
  virtual std::optional<std::string> Load(const std::string& fileName, size_t maxSize) = 0;
  // Replaces the content. Without a mode the file is the user's (an INI file): it keeps its own
  // mode, and a symbolic link is followed. With one it is a file of the program's own, which gets
  // that mode and is never written through a link (ReplaceOwnFile). Throws EIniFileError on
  // failure; the old content must then survive.
  virtual void Save(const std::string& fileName, std::string_view content,
                    std::optional<unsigned> mode) = 0;
  // What the name stands for (FileStatus). Throws EIniFileError when that cannot be learnt.
  virtual TFileStatus Status(const std::string& fileName) = 0;
  // Creates a folder with its missing parents, readable by the user only. Throws EIniFileError.
  virtual void MakeFolders(const std::string& folder) = 0;
};

// The file system (Files.h): reads bounded, writes to a temporary file beside the target and
// renames it, so a full disk or a crash never leaves a half-written settings file.
IniStorage& DiskIniStorage();

// INI files are a few hundred bytes; anything beyond this is not one of ours and is refused
// rather than read into memory.
inline constexpr size_t kMaxIniFileSize = 1024 * 1024;
// The longest value a read returns; longer values are cut.
inline constexpr size_t kMaxIniValueLength = 2047;

// An integer as INI values give it: decimal with an optional sign, or "0x"/"0X" followed by up
// to eight hexadecimal digits when the text is longer than two characters (taken as a 32-bit
// pattern, so 0xFFFFFFFF is -1). Anything else gives the fallback.
int IniStrToIntDef(std::string_view value, int fallback);

// Reads and writes single keys of an INI file, the way the system's private-profile calls do:
// every call goes to the file, section and key names are matched without regard to ASCII case,
// values are trimmed and cut to kMaxIniValueLength, and a write changes the one line it is about
// (adding the section or key when missing) and leaves every other byte of the file as it was.
// Reads never throw: a missing, unreadable or oversized file reads as empty. Writes throw
// EIniFileError. Thread-safe for reads; concurrent writes to one file may lose one of them.
class TIniFile {
 public:
  explicit TIniFile(std::string fileName, IniStorage& storage = DiskIniStorage());

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  int ReadInteger(std::string_view section, std::string_view key, int fallback) const;
  // An integer, true unless 0.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);
  // Written as "1" or "0".
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  std::optional<std::string> ReadRaw(std::string_view section, std::string_view key) const;

  std::string fileName_;
  IniStorage& storage_;
};

// The whole file in memory: load everything, change keys, write everything back. Writing
// normalises the file: sections and keys keep their order, but blank lines, comment lines (first
// non-blank character ';') and lines before the first section are dropped, blanks around '=' are
// removed and every section ends with one empty line. Values pass through byte for byte (reads
// apply the same trimming and cut as TIniFile). Not thread-safe.
class TMemIniFile {
 public:
  // Loads the file; a missing file gives an empty one. Throws EIniFileError when the file exists
  // but cannot be read, so that UpdateFile never replaces content it has not seen.
  explicit TMemIniFile(std::string fileName, IniStorage& storage = DiskIniStorage());

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  int ReadInteger(std::string_view section, std::string_view key, int fallback) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);

  // The file as UpdateFile writes it.
  std::string Text() const;
  // Writes the whole file. Throws EIniFileError.
  void UpdateFile();

 private:
  struct Entry {
    std::string key;  // the whole trimmed line for a line without '='
    std::string value;
    bool hasValue = false;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  // Templates over const and non-const section lists: the first match, or nullptr.
  template <class Sections>
  static auto FindSection(Sections& sections, std::string_view name) -> decltype(&sections[0]);
  template <class Sections>
  static auto FindEntry(Sections& sections, std::string_view section, std::string_view key)
      -> decltype(&sections[0].entries[0]);

  std::string fileName_;
  IniStorage& storage_;
  std::vector<Section> sections_;
};

}  // namespace quillbox
