#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/IniFiles.h"

namespace quillbox {

// Where the program INI file lives when no -I names one. A program run from a folder its user
// may write (the build folder, an unpacked archive) keeps the file beside the executable. An
// installed program cannot write there, so "Exit / Terminate" would fail for ever: it keeps the
// file in the user's configuration folder instead, which both programs share.
// All functions are thread-safe.

// The folder an installed program keeps its INI file in: "<XDG_CONFIG_HOME>/quillbox", or
// "<home>/.config/quillbox" when that variable is unset, empty or relative (a relative value is
// invalid for XDG). Empty when home is not an absolute path either.
std::string UserConfigFolder(std::string_view xdgConfigHome, std::string_view home);

// The same for the running user: $XDG_CONFIG_HOME, $HOME or else the password database.
std::string UserConfigFolder();

// Whether the running user may create files in folder (access(2); root may everywhere).
bool IsWritableFolder(const std::string& folder);

// The INI file name for an executable: beside it with the extension ".ini" when its folder is
// writable or there is no configuration folder to fall back to, "<configFolder>/quillbox.ini"
// otherwise.
std::string DefaultIniFileName(const std::string& executablePath, const std::string& configFolder,
                               const std::function<bool(const std::string&)>& folderWritable);

// Creates the folder of iniFileName (parents included, mode 0700) when it is configFolder and
// does not exist yet, so the configuration folder appears when a file is first written there.
// Any other folder is left alone: a missing folder named with -I stays an error of the write.
// Throws EIniFileError when the folder cannot be created.
void CreateIniFolder(const std::string& iniFileName, const std::string& configFolder,
                     IniStorage& storage = DiskIniStorage());

}  // namespace quillbox
