#include "shell/Quillbox_Main.h"

#include <cerrno>
#include <utility>

#include "net/IdException.h"

namespace quillbox {

namespace {

constexpr const char* kDesignedCaption = "Quillbox";
constexpr const char* kFormMainSection = "FormMain";

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TFormMain::TFormMain(TMemoQueue& log, ConnectionIndicator& indicator, TextArea& memo,
                     MessageBoxes& messages, TStartupEnvironment environment)
    : TQuillboxProxy(log, indicator),
      log_(log),
      memo_(memo),
      messages_(messages),
      environment_(std::move(environment)) {}

TFormMain::~TFormMain() {
  Shutdown();
}

bool TFormMain::FormCreate() {
  AssignEvents();
  AllowConnectionFromOutside = false;
  const std::string executable =
      environment_.ExecutablePath.empty() ? "quillbox" : environment_.ExecutablePath;
  IniFileName =
      DefaultIniFileName(executable, environment_.ConfigFolder, environment_.FolderWritable);
  ListeningPort = 123;
  LogDirectory = "C:\\";
  // Dates are always formatted with English month names (FormatDateTime), whatever the locale.
  ReadCommandLine(environment_.Arguments, IniFileName);
  ReadVersionInfo(VersionInfo, *environment_.Version);
  ReadParametersFromIniFile(IniFileName);
  if (environment_.ReadsWindowSettings) {
    ReadFormStatusFromIniFile(Placement, kFormMainSection, IniFileName, *environment_.Storage);
    ReadFontFromIniFile(Font, IniFileName, *environment_.Storage);
  }
  // A missing rules file leaves the list empty; judging then finds no rule match.
  LoadRulesFile(S25RRules, environment_.RulesFileName);
  for (const std::string& line : BannerLines(VersionInfo.FileVersion, BaseName(executable)))
    memo_.AppendLine(line);
  IdPOP3Server.Greeting.Text() = {GreetingText(VersionInfo.FileVersion)};
  IdPOP3Server.DefaultPort = ListeningPort;
  IdPOP3Server.MaxConnections = MaxConnections;
  if (!ActivateListener())
    return false;
  memo_.AppendLine("Port number: " + std::to_string(ListeningPort));
  memo_.AppendLine("Started at " + FormatDateTime(environment_.Clock->LocalNow()));
  return true;
}

bool TFormMain::ActivateListener() {
  const std::string port = std::to_string(ListeningPort);
  // Port 0 would make the system pick a random port no mail client knows.
  if (ListeningPort < 1 || ListeningPort > 65535) {
    ReportStartFailure("The Quillbox could not listen on port (" + port +
                       ").  A port number must be from 1 to 65535: set ListeningPort in " +
                       IniFileName + ".");
    return false;
  }
  try {
    IdPOP3Server.SetActive(true);
    return true;
  } catch (const EIdCouldNotBindSocket&) {
    const int error = environment_.BindError(ListeningPort);
    if (error == EACCES || error == EPERM) {
      ReportStartFailure("The Quillbox could not bind socket.  The port (" + port +
                         ") is a privileged port that only the administrator may use.  Choose "
                         "a port of 1024 or more as ListeningPort in " +
                         IniFileName + ".");
    } else {
      ReportStartFailure("The Quillbox could not bind socket.  The port (" + port +
                         ") is already in use.");
    }
  } catch (const std::exception& e) {
    ReportStartFailure("The Quillbox could not listen on port (" + port + "): " + e.what());
  }
  return false;
}

void TFormMain::ReportStartFailure(const std::string& reason) {
  messages_.ShowError(reason + "  The Quillbox will abort.");
}

void TFormMain::WriteIniFileAtExit(const TFormStatus& placement, const TFontInfo& font) {
  CreateIniFolder(IniFileName, environment_.ConfigFolder);
  WriteFormStatusToIniFile(placement, kFormMainSection, IniFileName, *environment_.Storage);
  WriteFontToIniFile(font, IniFileName, *environment_.Storage);
  WriteParametersToIniFile(IniFileName);
}

void TFormMain::Shutdown() {
  log_.Close();
  IdPOP3Server.SetActive(false);
  S25RRules.clear();
}

void TFormMain::ShowVersionInfo(const std::string& credits) {
  ReadVersionInfo(VersionInfo, *environment_.Version);
  messages_.ShowInformation(AboutText(VersionInfo, credits));
}

std::string TFormMain::Caption() const {
  return std::string(kDesignedCaption) + "  " + VersionInfo.FileVersion;
}

std::string TFormMain::IniFileMenuCaption() const {
  return "INI file name: " + IniFileName;
}

TParameters TFormMain::Parameters() const {
  TParameters parameters;
  parameters.ListeningPort = ListeningPort;
  parameters.MaxConnections = MaxConnections;
  parameters.AllowConnectionFromOutside = AllowConnectionFromOutside;
  parameters.LogDirectory = LogDirectory;
  return parameters;
}

void TFormMain::SetParameters(const TParameters& parameters) {
  ListeningPort = parameters.ListeningPort;
  MaxConnections = parameters.MaxConnections;
  AllowConnectionFromOutside = parameters.AllowConnectionFromOutside;
  LogDirectory = parameters.LogDirectory;
}

bool TFormMain::ReadParametersFromIniFile(const std::string& fileName) {
  TParameters parameters = Parameters();
  const bool done =
      quillbox::ReadParametersFromIniFile(parameters, fileName, *environment_.Storage);
  SetParameters(parameters);
  return done;
}

bool TFormMain::WriteParametersToIniFile(const std::string& fileName) {
  return quillbox::WriteParametersToIniFile(Parameters(), fileName, *environment_.Storage);
}

}  // namespace quillbox
