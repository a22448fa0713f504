#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

// The pieces of start-up that need no window and no listener: file names, the command line and
// the texts written into the log. Pure functions unless noted.

// The path with its extension (from the last '.' of the last path element) replaced by ext, or
// ext appended when the last element has none. A leading '.' of a hidden file's name is not an
// extension.
std::string ChangeFileExt(const std::string& path, const std::string& ext);

// The running executable's full path, from /proc/self/exe; empty if the system does not say.
std::string ExecutablePath();

// The folder of the examples that an installed program ships with: <prefix>/share/quillbox/examples
// for <prefix>/bin/<program>. Empty for an empty path.
std::string InstalledExamplesFolder(const std::string& executablePath);

// The current directory; empty when the system cannot tell it (it was removed).
std::string CurrentFolderPath();

// Where the S25R rules and the allow list are looked for, in this order: the current directory,
// the folder of the INI file in use, the installed examples. Empty names are left out.
std::vector<std::string> JudgeFileFolders(const std::string& currentFolder,
                                          const std::string& iniFileName,
                                          const std::string& executablePath);

// Applies the "-I<path>" arguments (exactly "-I", upper-case) in order: the last one counts. An
// argument of "-I" alone names no file and is ignored, so the default stays in force.
void ReadCommandLine(const std::vector<std::string>& arguments, std::string& iniFileName);

// The eleven banner lines of the log, for the version given. executableName names the program in
// the attribution line.
std::vector<std::string> BannerLines(const std::string& fileVersion,
                                     const std::string& executableName);

// The listener's greeting text (after "+OK ").
std::string GreetingText(const std::string& fileVersion);

// A log line made safe for a terminal: control characters (C0 and DEL, tab excepted) become
// '?', so a hostile peer's text cannot move the cursor, retitle the terminal or fake a log line.
// Bytes from 0x80 up are text in some code page and stay.
std::string TerminalSafeLine(std::string_view line);

// The short month names date formatting uses, English whatever the locale says.
extern const char* const kEnglishShortMonthNames[12];

// "mmm/dd/yyyy hh:nn:ss" with English months and a 24-hour clock: "Dec/07/2026 03:00:44". Fields
// out of their range are clamped so a broken clock cannot produce a garbled line.
std::string FormatDateTime(const std::tm& time);

// The errno that binding a TCP socket to port on all IPv4 addresses gets now, 0 when the bind
// would succeed. Tells a port in use (EADDRINUSE) from one the user may not take (EACCES).
int ProbeBindError(int port);

// The host name as it may stand in a certificate: lower case, letters, digits, '-' and '.', at
// most 253 characters, not "localhost" (named anyway). "" when name is none of that.
std::string CertificateHostName(std::string_view name);

// The machine's host name through CertificateHostName.
std::string LocalHostName();

// The local time, injectable so tests can fix it. The real one is thread-safe.
class TClock {
 public:
  virtual ~TClock() = default;
  virtual std::tm LocalNow() const = 0;
};
const TClock& SystemClock();

}  // namespace quillbox
