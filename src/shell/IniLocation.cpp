#include "shell/IniLocation.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "shell/Quillbox_Startup.h"

namespace quillbox {
namespace {

// folder + "/" + name, without doubled slashes when folder ends in one (or is "/").
std::string Join(std::string_view folder, std::string_view name) {
  while (!folder.empty() && folder.back() == '/')
    folder.remove_suffix(1);
  return std::string(folder) + "/" + std::string(name);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// $HOME, or the password database's entry when the variable is unset (a service started
// without a login environment).
std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (!home.empty())
    return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir)
    home = found->pw_dir;
  return home;
}

}  // namespace

std::string UserConfigFolder(std::string_view xdgConfigHome, std::string_view home) {
  if (!xdgConfigHome.empty() && xdgConfigHome.front() == '/')
    return Join(xdgConfigHome, "quillbox");
  if (!home.empty() && home.front() == '/')
    return Join(home, ".config/quillbox");
  return std::string();
}

std::string UserConfigFolder() {
  return UserConfigFolder(Environment("XDG_CONFIG_HOME"), HomeFolder());
}

bool IsWritableFolder(const std::string& folder) {
  return access(folder.c_str(), W_OK) == 0;
}

std::string DefaultIniFileName(const std::string& executablePath, const std::string& configFolder,
                               const std::function<bool(const std::string&)>& folderWritable) {
  if (configFolder.empty() || folderWritable(FolderOf(executablePath)))
    return ChangeFileExt(executablePath, ".ini");
  return configFolder + "/quillbox.ini";
}

void CreateIniFolder(const std::string& iniFileName, const std::string& configFolder,
                     IniStorage& storage) {
  if (!configFolder.empty() && FolderOf(iniFileName) == configFolder)
    storage.MakeFolders(configFolder);
}

}  // namespace quillbox
