#pragma once

#include <string>

#include "base/IniFiles.h"

namespace quillbox {

// Window states as the INI file stores them.
enum TWindowState { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };

// A window's placement, toolkit-neutral: the desktop copies it from and to its window. The
// defaults are the main window's designed bounds. A plain value.
struct TFormStatus {
  int Top = 122;
  int Left = 413;
  int Width = 519;
  int Height = 284;
  int WindowState = wsNormal;
};

// Reads Top, Left, Width, Height and WindowState of the section named after the window
// ("FormMain" for the main window), each with the value in `status` as its default. A
// WindowState other than 0, 1 or 2 keeps the default, so a damaged file cannot leave the window
// in a state no one knows. Never throws.
void ReadFormStatusFromIniFile(TFormStatus& status, const std::string& section,
                               const std::string& fileName, IniStorage& storage = DiskIniStorage());

// Writes WindowState, Top, Left, Width and Height, then rewrites the whole file (normalising it,
// see TMemIniFile). Throws EIniFileError, whose text the desktop shows as it stands.
void WriteFormStatusToIniFile(const TFormStatus& status, const std::string& section,
                              const std::string& fileName, IniStorage& storage = DiskIniStorage());

}  // namespace quillbox
