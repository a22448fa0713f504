#include "shell/Quillbox_Main.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "net/IdException.h"
#include "shell/HistoryCommand.h"

namespace quillbox {

namespace {

constexpr const char* kDesignedCaption = "Quillbox";
constexpr const char* kFormMainSection = "FormMain";

std::string ExecutableOf(const TStartupEnvironment& environment) {
  return environment.ExecutablePath.empty() ? "quillbox" : environment.ExecutablePath;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string IniFileNameOf(const TStartupEnvironment& environment) {
  std::string iniFileName = DefaultIniFileName(ExecutableOf(environment), environment.ConfigFolder,
                                               environment.FolderWritable);
  ReadCommandLine(environment.Arguments, iniFileName);
  return iniFileName;
}

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
  RequireTLSFromOutside = true;
  const std::string executable = ExecutableOf(environment_);
  IniFileName = IniFileNameOf(environment_);
  ListeningPort = 123;
  LogDirectory = "C:\\";
  // Dates are always formatted with English month names (FormatDateTime), whatever the locale.
  ReadVersionInfo(VersionInfo, *environment_.Version);
  ReadParametersFromIniFile(IniFileName);
  if (environment_.ReadsWindowSettings) {
    ReadFormStatusFromIniFile(Placement, kFormMainSection, IniFileName, *environment_.Storage);
    ReadFontFromIniFile(Font, IniFileName, *environment_.Storage);
  }
  // Found where the user keeps them, or as shipped; without rules only the lookups judge.
  const std::vector<std::string> judgeFileLines = JudgeFiles.Load(
      JudgeFileFolders(environment_.CurrentFolder, IniFileName, environment_.ExecutablePath));
  for (const std::string& line : BannerLines(VersionInfo.FileVersion, BaseName(executable)))
    memo_.AppendLine(line);
  IdPOP3Server.Greeting.Text() = {GreetingText(VersionInfo.FileVersion)};
  IdPOP3Server.DefaultPort = ListeningPort;
  IdPOP3Server.DefaultTLSPort = TLSListeningPort;
  IdPOP3Server.MaxConnections = MaxConnections;
  // Before the listener: the first message retrieved has its row.
  OpenHistory();
  if (!TakeHandedSockets() || !CheckPorts() || !PrepareTLS() || !ActivateListener())
    return false;
  // The ports bound, which handed-over sockets decide.
  if (const int port = BoundPort(false))
    memo_.AppendLine("Port number: " + std::to_string(port));
  if (const int tlsPort = BoundPort(true))
    memo_.AppendLine("TLS port number: " + std::to_string(tlsPort));
  memo_.AppendLine("Started at " + FormatDateTime(environment_.Clock->LocalNow()));
  AppendTLSLines();
  if (HistoryDays <= 0)
    memo_.AppendLine("History: none ([History] Days=0)");
  else if (!HistoryFile.empty())
    memo_.AppendLine("History: " + HistoryFile + " (" + std::to_string(HistoryDays) + " days)");
  for (const std::string& line : judgeFileLines)
    memo_.AppendLine(line);
  return true;
}

bool TFormMain::TakeHandedSockets() {
  try {
    std::vector<TIdSocketHandle> handed = environment_.HandedSockets();
    if (!handed.empty())
      IdPOP3Server.Bindings() = std::move(handed);
    return true;
  } catch (const Exception& e) {
    ReportStartFailure("The Quillbox could not serve the sockets it was handed: " + e.Message());
    return false;
  }
}

bool TFormMain::CheckPorts() {
  // Ports that are not bound cannot be wrong.
  if (!IdPOP3Server.Bindings().empty())
    return true;
  // Port 0 would make the system pick a random port no mail client knows.
  const auto outside = [](int port) { return port < 1 || port > 65535; };
  if (outside(ListeningPort)) {
    ReportStartFailure("The Quillbox could not listen on port (" + std::to_string(ListeningPort) +
                       ").  A port number must be from 1 to 65535: set ListeningPort in " +
                       IniFileName + ".");
    return false;
  }
  if (TLSListeningPort != 0 && (outside(TLSListeningPort) || TLSListeningPort == ListeningPort)) {
    ReportStartFailure("The Quillbox could not listen on the TLS port (" +
                       std::to_string(TLSListeningPort) +
                       ").  It must be from 1 to 65535 and differ from ListeningPort: set "
                       "TLSListeningPort in " +
                       IniFileName + ", or 0 for none.");
    return false;
  }
  return true;
}

bool TFormMain::PrepareTLS() {
  const std::string advice =
      "  Name a certificate and its key as CertificateFile and KeyFile in section [TLS] of " +
      IniFileName + ".";
  try {
    certificate_ = PrepareServerCertificate(IniFileName, environment_.ConfigFolder,
                                            environment_.HostName(), *environment_.Storage);
    IdPOP3Server.TLSContext = certificate_.Context;
    return true;
  } catch (const ECertificateNotStored& e) {
    const std::string reason = "The Quillbox could not store its TLS certificate: " + e.Message();
    // A folder the user may not write cost the plain service nothing before; it still does.
    if (!ServesTLSPort()) {
      messages_.ShowWarning(reason + "  It offers no TLS until it can." + advice);
      return true;
    }
    ReportStartFailure(reason + advice);
  } catch (const Exception& e) {
    ReportStartFailure("The Quillbox could not use its TLS certificate: " + e.Message() + advice);
  }
  return false;
}

void TFormMain::AppendTLSLines() {
  if (!certificate_.Context) {
    memo_.AppendLine("TLS certificate: none, so STLS is not offered.");
    return;
  }
  memo_.AppendLine("TLS certificate: " + certificate_.CertificateFile);
  memo_.AppendLine("TLS certificate SHA-256 fingerprint: " + certificate_.Fingerprint);
  for (const std::string& note : certificate_.Notes)
    memo_.AppendLine(note);
}

bool TFormMain::ServesTLSPort() {
  const std::vector<TIdSocketHandle>& bindings = IdPOP3Server.Bindings();
  if (bindings.empty())
    return TLSListeningPort != 0;
  return std::any_of(bindings.begin(), bindings.end(),
                     [](const TIdSocketHandle& binding) { return binding.ImplicitTLS; });
}

int TFormMain::BoundPort(bool tls) {
  for (const TIdSocketHandle& binding : IdPOP3Server.Bindings()) {
    if (binding.ImplicitTLS == tls)
      return binding.Port;
  }
  return 0;
}

bool TFormMain::ActivateListener() {
  int bound = ListeningPort;
  try {
    IdPOP3Server.SetActive(true);
    return true;
  } catch (const EIdCouldNotBindSocket&) {
    int error = environment_.BindError(ListeningPort);
    const char* key = "ListeningPort";
    if (error == 0 && TLSListeningPort != 0) {
      bound = TLSListeningPort;
      key = "TLSListeningPort";
      error = environment_.BindError(bound);
    }
    const std::string port = std::to_string(bound);
    if (error == EACCES || error == EPERM) {
      ReportStartFailure("The Quillbox could not bind socket.  The port (" + port +
                         ") is a privileged port that only the administrator may use.  Choose "
                         "a port of 1024 or more as " +
                         key + " in " + IniFileName + ".");
    } else {
      ReportStartFailure("The Quillbox could not bind socket.  The port (" + port +
                         ") is already in use.");
    }
  } catch (const std::exception& e) {
    ReportStartFailure("The Quillbox could not listen on port (" + std::to_string(bound) +
                       "): " + e.what());
  }
  return false;
}

void TFormMain::ReportStartFailure(const std::string& reason) {
  messages_.ShowError(reason + "  The Quillbox will abort.");
}

void TFormMain::WriteIniFileAtExit(const TFormStatus& placement, const TFontInfo& font) {
  CreateIniFolder(IniFileName, environment_.ConfigFolder, *environment_.Storage);
  WriteFormStatusToIniFile(placement, kFormMainSection, IniFileName, *environment_.Storage);
  WriteFontToIniFile(font, IniFileName, *environment_.Storage);
  WriteParametersToIniFile(IniFileName);
}

void TFormMain::OpenHistory() {
  HistoryDays = quillbox::HistoryDays(IniFileName, *environment_.Storage);
  HistoryFile = HistoryDays > 0 ? environment_.HistoryFile(IniFileName) : "";
  if (HistoryFile.empty())
    return;
  THistorySettings settings;
  settings.FileName = HistoryFile;
  settings.Days = HistoryDays;
  history_ = std::make_unique<THistoryWriter>(settings, log_, HistoryCommitted);
  History = history_.get();
}

void TFormMain::Shutdown() {
  log_.Close();
  IdPOP3Server.SetActive(false);
  // After the listener: every row of the connections is committed.
  History = nullptr;
  history_.reset();
  JudgeFiles.Use({});
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
  parameters.TLSListeningPort = TLSListeningPort;
  parameters.RequireTLSFromOutside = RequireTLSFromOutside;
  return parameters;
}

void TFormMain::SetParameters(const TParameters& parameters) {
  ListeningPort = parameters.ListeningPort;
  MaxConnections = parameters.MaxConnections;
  AllowConnectionFromOutside = parameters.AllowConnectionFromOutside;
  LogDirectory = parameters.LogDirectory;
  TLSListeningPort = parameters.TLSListeningPort;
  RequireTLSFromOutside = parameters.RequireTLSFromOutside;
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
