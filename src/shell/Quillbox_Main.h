#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/IniFiles.h"
#include "history/HistoryStore.h"
#include "history/HistoryWriter.h"
#include "proxy/ConnectionIndicator.h"
#include "proxy/Quillbox_Main.h"
#include "shell/FontInfo.h"
#include "shell/FormStatus.h"
#include "shell/FrontEnd.h"
#include "shell/IniLocation.h"
#include "shell/MemoQueue.h"
#include "shell/Quillbox_Settings.h"
#include "shell/Quillbox_Startup.h"
#include "shell/ServerCertificate.h"
#include "shell/SocketActivation.h"
#include "shell/VerInfo.h"

namespace quillbox {

// What the process gives start-up. The defaults are the real system; tests replace them.
struct TStartupEnvironment {
  std::string ExecutablePath = quillbox::ExecutablePath();
  std::vector<std::string> Arguments;  // argv[1..]
  const TClock* Clock = &SystemClock();
  IniStorage* Storage = &DiskIniStorage();
  const VersionResource* Version = &CompiledVersionResource();
  // The errno a plain bind of the port on all IPv4 addresses gets now (0 when it would
  // succeed): tells "in use" from "not allowed" after the listener failed to bind.
  std::function<int(int port)> BindError = ProbeBindError;
  // The S25R rules and the allow list are looked for here first (JudgeFileFolders).
  std::string CurrentFolder = CurrentFolderPath();
  // Without -I an installed program, whose folder the user may not write, keeps its INI file in
  // this folder, made at the first write (IniLocation.h).
  std::string ConfigFolder = UserConfigFolder();
  std::function<bool(const std::string& folder)> FolderWritable = IsWritableFolder;
  // The name a certificate made at the first start carries besides localhost ("" for none).
  std::function<std::string()> HostName = LocalHostName;
  // The desktop reads the main window's placement and font at start-up; quillboxd has neither.
  bool ReadsWindowSettings = false;
  // Listening sockets to serve instead of ListeningPort and TLSListeningPort on all addresses:
  // those a service manager handed over (SocketActivation.h), none at an ordinary start. Called
  // once, by FormCreate; may raise EHandedSockets.
  std::function<std::vector<TIdSocketHandle>()> HandedSockets = HandedListeningSockets;
  // The history file for the INI file in use ("" for none): beside it.
  std::function<std::string(const std::string& iniFileName)> HistoryFile = HistoryFileName;
};

// The INI file in use: the default for the executable, or the last -I of the arguments.
std::string IniFileNameOf(const TStartupEnvironment& environment);

// The main window without a toolkit: start-up, the settings in force, and shutdown. The
// desktop's window and quillboxd each own one and supply the text area and message boxes.
//
// Start-up, the settings, the About box and shutdown run on one thread (the desktop's UI
// thread); the proxy handlers inherited from TQuillboxProxy run on connection threads and log
// through the TMemoQueue. AllowConnectionFromOutside may be changed at any time.
class TFormMain : public TQuillboxProxy {
 public:
  TFormMain(TMemoQueue& log, ConnectionIndicator& indicator, TextArea& memo, MessageBoxes& messages,
            TStartupEnvironment environment = {});
  ~TFormMain() override;

  // Start-up: settings, version data, rules, banner, greeting, the TLS certificate and the
  // listener. True when the listener runs (the desktop then adds its tray icon); false when the
  // program must end: the reason has been shown through MessageBoxes::ShowError and the INI file
  // has not been written.
  bool FormCreate();

  // The desktop's exit command, steps before the tray icon goes: placement, font, then the
  // General section. A failure of the first two throws EIniFileError (the desktop shows it and
  // keeps running); the General write absorbs its own errors.
  void WriteIniFileAtExit(const TFormStatus& placement, const TFontInfo& font);

  // Ends the service: drops log lines from now on, stops the listener (closing every client
  // connection and waiting for their threads) and releases the rules. Idempotent.
  void Shutdown();

  // The About box: re-reads the version data and shows it with the credits text.
  void ShowVersionInfo(const std::string& credits);

  // "Quillbox  3.0.0.11": the designed caption, two spaces and the file version.
  std::string Caption() const;
  // "INI file name: " and the INI file in use.
  std::string IniFileMenuCaption() const;

  // The settings as the dialog shows them, and the dialog's OK. A new port or limit takes
  // effect at the next start; AllowConnectionFromOutside and RequireTLSFromOutside at the next
  // connection.
  TParameters Parameters() const;
  void SetParameters(const TParameters& parameters);

  // The history file in use and its days, set by FormCreate before the listener starts; no file
  // when Days=0 (an existing one is left alone) or the environment names none.
  std::string HistoryFile;
  int HistoryDays = 0;
  // Called on the history's writer thread after each commit; set before FormCreate.
  std::function<void(const std::vector<THistoryRow>&)> HistoryCommitted;

  // The port the first plain (tls false) or TLS binding listens on once started; 0 when there
  // is none.
  int BoundPort(bool tls = false);

  bool ReadParametersFromIniFile(const std::string& fileName);
  bool WriteParametersToIniFile(const std::string& fileName);

  int ListeningPort = 123;
  int MaxConnections = 1;
  int TLSListeningPort = 0;
  std::string IniFileName;
  std::string LogDirectory = "C:\\";
  TVersionInfo VersionInfo;
  // Read at start-up when the environment asks for it; the desktop applies them to its window.
  TFormStatus Placement;
  TFontInfo Font;

 private:
  void ReportStartFailure(const std::string& reason);
  bool PrepareTLS();
  bool TakeHandedSockets();
  bool CheckPorts();
  bool ServesTLSPort();
  bool ActivateListener();
  void AppendTLSLines();
  void OpenHistory();

  TMemoQueue& log_;
  TextArea& memo_;
  MessageBoxes& messages_;
  TStartupEnvironment environment_;
  TServerCertificate certificate_;  // no Context when TLS could not be set up
  std::unique_ptr<THistoryWriter> history_;
};

}  // namespace quillbox
