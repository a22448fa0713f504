#include "shell/Quillbox_Startup.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace quillbox {

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const size_t nameStart = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= nameStart)
    return path + ext;
  return path.substr(0, dot) + ext;
}

std::string ExecutablePath() {
  std::string buffer(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) >= buffer.size())
    return std::string();
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

std::string InstalledExamplesFolder(const std::string& executablePath) {
  if (executablePath.empty())
    return "";
  const std::filesystem::path folder = std::filesystem::path(executablePath).parent_path();
  return (folder / QUILLBOX_EXAMPLES_FROM_BIN).lexically_normal().string();
}

std::string CurrentFolderPath() {
  std::error_code ec;
  const std::filesystem::path current = std::filesystem::current_path(ec);
  return ec ? "" : current.string();
}

std::vector<std::string> JudgeFileFolders(const std::string& currentFolder,
                                          const std::string& iniFileName,
                                          const std::string& executablePath) {
  std::vector<std::string> folders;
  if (!currentFolder.empty())
    folders.push_back(currentFolder);
  std::error_code ec;
  const std::filesystem::path ini = std::filesystem::absolute(iniFileName, ec);
  if (!iniFileName.empty() && !ec)
    folders.push_back(ini.parent_path().string());
  if (const std::string examples = InstalledExamplesFolder(executablePath); !examples.empty())
    folders.push_back(examples);
  return folders;
}

void ReadCommandLine(const std::vector<std::string>& arguments, std::string& iniFileName) {
  for (const std::string& argument : arguments) {
    if (argument.size() > 2 && argument.compare(0, 2, "-I") == 0)
      iniFileName = argument.substr(2);
  }
}

std::vector<std::string> BannerLines(const std::string& fileVersion,
                                     const std::string& executableName) {
  return {
      "Hello.  Welcome to the Quillbox Version " + fileVersion,
      "This is " + executableName + ", made by the Quillbox developers.",
      "",
      "The log will be displayed in this area.",
      "C->P     Command from client to server captured by proxy.",
      "   P->S  Command from client to server via proxy, or command from proxy to server.",
      "   P<-S  Response from server to client captured by proxy, or response from server to "
      "proxy.",
      "C<-P     Response from server to client via proxy, or response from proxy.",
      "   P     Internal message by proxy.",
      "The \"proxy\" means the Quillbox, of course. :-)",
      "",
  };
}

std::string GreetingText(const std::string& fileVersion) {
  return "Welcome to the Quillbox Version " + fileVersion;
}

std::string TerminalSafeLine(std::string_view line) {
  std::string safe(line);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7f)
      c = '?';
  }
  return safe;
}

const char* const kEnglishShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string FormatDateTime(const std::tm& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%s/%02d/%04d %02d:%02d:%02d",
                kEnglishShortMonthNames[std::clamp(time.tm_mon, 0, 11)],
                std::clamp(time.tm_mday, 1, 31), std::clamp(time.tm_year + 1900, 0, 9999),
                std::clamp(time.tm_hour, 0, 23), std::clamp(time.tm_min, 0, 59),
                std::clamp(time.tm_sec, 0, 60));
  return text;
}

int ProbeBindError(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return errno;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const int error =
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return error;
}

std::string CertificateHostName(std::string_view name) {
  std::string host;
  for (char c : name) {
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (!((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '-' ||
          lower == '.'))
      return "";
    host.push_back(lower);
  }
  if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.' ||
      host == "localhost")
    return "";
  return host;
}

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0)
    return "";
  return CertificateHostName(name);
}

namespace {

class RealClock : public TClock {
 public:
  std::tm LocalNow() const override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
  }
};

}  // namespace

const TClock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace quillbox
