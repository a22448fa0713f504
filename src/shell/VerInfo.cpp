#include "shell/VerInfo.h"

#include <utility>

#include "base/SysUtils.h"

namespace quillbox {

size_t TableVersionResource::Size() const {
  size_t size = 0;
  for (size_t i = 0; i < count_; ++i)
    size += std::string_view(entries_[i].path).size() + std::string_view(entries_[i].value).size();
  return size;
}

std::optional<std::string> TableVersionResource::QueryValue(std::string_view path) const {
  for (size_t i = 0; i < count_; ++i) {
    if (SameText(entries_[i].path, path))
      return std::string(entries_[i].value);
  }
  return std::nullopt;
}

const VersionResource& CompiledVersionResource() {
  static const TableVersionResource resource(kCompiledVersionEntries, kCompiledVersionEntryCount);
  return resource;
}

void ReadVersionInfo(TVersionInfo& info, const VersionResource& resource) {
  if (resource.Size() == 0)
    return;
  const std::pair<const char*, std::string TVersionInfo::*> keys[] = {
      {"CompanyName", &TVersionInfo::CompanyName},
      {"FileDescription", &TVersionInfo::FileDescription},
      {"InternalName", &TVersionInfo::InternalName},
      {"FileVersion", &TVersionInfo::FileVersion},
      {"LegalCopyright", &TVersionInfo::LegalCopyright},
      {"LegalTradeMarks", &TVersionInfo::LegalTradeMarks},
      {"OriginalFileName", &TVersionInfo::OriginalFileName},
      {"ProductName", &TVersionInfo::ProductName},
      {"ProductVersion", &TVersionInfo::ProductVersion},
      {"Comments", &TVersionInfo::Comments},
  };
  for (const auto& [key, field] : keys)
    info.*field = resource.QueryValue(std::string(kVersionStringTable) + key).value_or("");
}

std::string AboutText(const TVersionInfo& info, const std::string& credits) {
  return "Product name: " + info.ProductName + "\r\n" +
         "Original file name: " + info.OriginalFileName + "\r\n" +
         "File description: " + info.FileDescription + "\r\n" +
         "File version: " + info.FileVersion + "\r\n" + "Legal Copyright: " + info.LegalCopyright +
         "\r\n" + "Comment: " + info.Comments + "\r\n" +
         "Home page: the Quillbox project, see its README.md" + "\r\n\r\n" + credits;
}

}  // namespace quillbox
