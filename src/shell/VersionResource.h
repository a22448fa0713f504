#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// One value of the version data: its query path ("\StringFileInfo\041103A4\FileVersion") and its
// text.
struct VersionResourceEntry {
  const char* path;
  const char* value;
};

// The table generated at build time from Quillbox.version.
extern const VersionResourceEntry kCompiledVersionEntries[];
extern const size_t kCompiledVersionEntryCount;

// The executable's version data, as the system's version queries see it. Immutable; thread-safe.
class VersionResource {
 public:
  virtual ~VersionResource() = default;
  // Bytes of version data; 0 when the executable has none.
  virtual size_t Size() const = 0;
  // The value at a query path, matched without regard to case; nullopt when there is none.
  virtual std::optional<std::string> QueryValue(std::string_view path) const = 0;
};

// A resource made of a table of entries (the compiled one, or a test's own).
class TableVersionResource : public VersionResource {
 public:
  TableVersionResource(const VersionResourceEntry* entries, size_t count)
      : entries_(entries), count_(count) {}
  size_t Size() const override;
  std::optional<std::string> QueryValue(std::string_view path) const override;

 private:
  const VersionResourceEntry* entries_;
  size_t count_;
};

// The version data compiled into this executable.
const VersionResource& CompiledVersionResource();

}  // namespace quillbox
