#include "shell/Quillbox_Main.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "base/FakeIniStorage.h"
#include "support/Loopback.h"
#include "support/Pop3Peers.h"

namespace quillbox {
namespace {

using namespace test;

class RecordingFrontEnd : public TextArea, public MessageBoxes, public ConnectionIndicator {
 public:
  void AppendLine(const std::string& line) override { lines.push_back(line); }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void ShowInformation(const std::string& text) override { information.push_back(text); }
  void ShowWarning(const std::string& text) override { errors.push_back(text); }
  void EnableTimer() override {}

  std::vector<std::string> lines, errors, information;
};

class FixedClock : public TClock {
 public:
  std::tm LocalNow() const override {
    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 7;
    time.tm_hour = 3;
    time.tm_sec = 44;
    return time;
  }
};

class TFormMainTest : public ::testing::Test {
 protected:
  // Configured ports may be taken by anyone; a port the system picks for the test, handed over
  // by default, is not. No handed sockets: the start binds the INI file's ports.
  TStartupEnvironment Environment(std::vector<std::string> arguments,
                                  std::vector<TIdSocketHandle> handed = LoopbackBindings()) {
    TStartupEnvironment environment;
    environment.ExecutablePath = "/opt/quillbox/quillboxd";
    environment.Arguments = std::move(arguments);
    environment.Clock = &clock_;
    environment.Storage = &storage_;
    environment.CurrentFolder = "/nonexistent";
    environment.ConfigFolder = "/home/alice/.config/quillbox";
    environment.FolderWritable = [](const std::string&) { return true; };
    environment.HostName = [] { return std::string("desk.example"); };
    environment.HandedSockets = [handed] { return handed; };
    environment.HistoryFile = [](const std::string&) { return std::string(); };
    return environment;
  }
  // The names of the files start-up left in the storage.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& [name, content] : storage_.files)
      names.push_back(name);
    return names;
  }
  // An INI file with the ports (the TLS port only when not 0) and more lines; returns its text.
  std::string WriteIni(const std::string& name, int port, int tlsPort = 0,
                       const std::string& more = "") {
    return storage_.files[name] =
               "[General]\nListeningPort=" + std::to_string(port) + "\n" +
               (tlsPort ? "TLSListeningPort=" + std::to_string(tlsPort) + "\n" : "") + more;
  }

  FixedClock clock_;
  FakeIniStorage storage_;
  TMemoQueue queue_;
  RecordingFrontEnd frontEnd_;
};

TEST_F(TFormMainTest, StartsOnHandedSocketsNotTheIniPortAndGreetsWithTheVersion) {
  LoopbackListener taken;
  const std::string ini = WriteIni("/etc/q.ini", taken.Port());
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_,
                 Environment({"-i/ignored.ini", "-I/etc/q.ini"}));
  ASSERT_TRUE(form.FormCreate()) << ::testing::PrintToString(frontEnd_.errors);
  const int port = form.BoundPort();
  EXPECT_EQ(form.ListeningPort, taken.Port());
  EXPECT_EQ(form.IniFileName, "/etc/q.ini");
  EXPECT_EQ(form.IniFileMenuCaption(), "INI file name: /etc/q.ini");
  EXPECT_EQ(form.Caption(), "Quillbox  3.0.0.11");
  ASSERT_EQ(frontEnd_.lines.size(), 18u);
  EXPECT_EQ(frontEnd_.lines[0], "Hello.  Welcome to the Quillbox Version 3.0.0.11");
  EXPECT_EQ(frontEnd_.lines[11], "Port number: " + std::to_string(port));
  EXPECT_EQ(frontEnd_.lines[12], "Started at Dec/07/2026 03:00:44");
  EXPECT_EQ(frontEnd_.lines[13], "TLS certificate: /etc/q.crt");
  EXPECT_TRUE(frontEnd_.lines[15].starts_with(
      "Made a TLS certificate for localhost, 127.0.0.1, ::1 and desk.example, valid until "));
  EXPECT_EQ(Pop3Client(port).ReadLine(), "+OK Welcome to the Quillbox Version 3.0.0.11");
  form.Shutdown();
  EXPECT_FALSE(form.IdPOP3Server.Active());
  EXPECT_EQ(Files(), (std::vector<std::string>{"/etc/q.crt", "/etc/q.ini", "/etc/q.key"}))
      << "start-up and shutdown write nothing but the certificate";
  EXPECT_EQ(storage_.files["/etc/q.ini"], ini);
}

TEST_F(TFormMainTest, WithoutAnIniFileTheDefaultsApply) {
  // The handed-over socket stands in for the default bindings on port 123, so the outcome never
  // depends on who holds that port on the machine running the test.
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({"-I"}));
  EXPECT_TRUE(form.FormCreate()) << ::testing::PrintToString(frontEnd_.errors);
  EXPECT_EQ(form.IniFileName, "/opt/quillbox/quillboxd.ini");
  EXPECT_EQ(form.ListeningPort, 123);
  EXPECT_EQ(form.IdPOP3Server.DefaultPort, 123);
  EXPECT_EQ(form.MaxConnections, 1);
  EXPECT_EQ(form.IdPOP3Server.MaxConnections, 1);
  EXPECT_FALSE(form.AllowConnectionFromOutside);
  EXPECT_EQ(form.LogDirectory, "C:\\");
  EXPECT_EQ(form.TLSListeningPort, 0);
  EXPECT_TRUE(form.RequireTLSFromOutside);
  form.Shutdown();
  EXPECT_EQ(Files(), (std::vector<std::string>{"/opt/quillbox/quillboxd.crt",
                                               "/opt/quillbox/quillboxd.key"}));
}

TEST_F(TFormMainTest, BindFailureShowsTheCauseKeepsTheBannerAndWritesNothing) {
  struct Case {
    bool tlsPortTaken;
    int bindError;
    std::string expectedTail;
  } cases[] = {
      {false, EADDRINUSE, ") is already in use.  The Quillbox will abort."},
      {false, EACCES,
       ") is a privileged port that only the administrator may use.  Choose a port of 1024 or "
       "more as ListeningPort in /etc/q.ini.  The Quillbox will abort."},
      {true, EACCES,
       ") is a privileged port that only the administrator may use.  Choose a port of 1024 or "
       "more as TLSListeningPort in /etc/q.ini.  The Quillbox will abort."},
  };
  for (const auto& c : cases) {
    LoopbackListener holder, other;
    const int taken = holder.Port();
    // The probe, which says "free" for the other port, tells which port the failure names.
    const std::string ini =
        WriteIni("/etc/q.ini", c.tlsPortTaken ? other.Port() : taken, c.tlsPortTaken ? taken : 0);
    RecordingFrontEnd frontEnd;
    TStartupEnvironment environment = Environment({"-I/etc/q.ini"}, {});
    environment.BindError = [&c, taken](int port) { return port == taken ? c.bindError : 0; };
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, environment);
    EXPECT_FALSE(form.FormCreate());
    ASSERT_EQ(frontEnd.errors.size(), 1u);
    EXPECT_EQ(frontEnd.errors[0], "The Quillbox could not bind socket.  The port (" +
                                      std::to_string(taken) + c.expectedTail);
    EXPECT_EQ(frontEnd.lines.size(), 11u) << "banner only, no port line";
    EXPECT_EQ(storage_.files["/etc/q.ini"], ini);
  }
}

TEST_F(TFormMainTest, PortOutsideTheRangeIsRefusedBeforeBindingOrMakingACertificate) {
  const int free = 1110;  // a valid number; it is never bound
  struct Case {
    int port, tlsPort;
    std::string error;
  } cases[] = {
      {0, 0,
       "The Quillbox could not listen on port (0).  A port number must be from 1 to 65535: "
       "set ListeningPort in /etc/q.ini."},
      {-1, 0,
       "The Quillbox could not listen on port (-1).  A port number must be from 1 to "
       "65535: set ListeningPort in /etc/q.ini."},
      {65536, 0,
       "The Quillbox could not listen on port (65536).  A port number must be from 1 "
       "to 65535: set ListeningPort in /etc/q.ini."},
      {free, 65536,
       "The Quillbox could not listen on the TLS port (65536).  It must be from 1 to "
       "65535 and differ from ListeningPort: set TLSListeningPort in /etc/q.ini, or "
       "0 for none."},
      {free, free,
       "The Quillbox could not listen on the TLS port (" + std::to_string(free) +
           ").  It must be from 1 to 65535 and differ from ListeningPort: set "
           "TLSListeningPort in /etc/q.ini, or 0 for none."},
  };
  for (const Case& c : cases) {
    WriteIni("/etc/q.ini", c.port, c.tlsPort);
    RecordingFrontEnd frontEnd;
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, Environment({"-I/etc/q.ini"}, {}));
    EXPECT_FALSE(form.FormCreate()) << c.port;
    EXPECT_FALSE(form.IdPOP3Server.Active()) << c.port;
    ASSERT_EQ(frontEnd.errors.size(), 1u);
    EXPECT_EQ(frontEnd.errors[0], c.error + "  The Quillbox will abort.");
    EXPECT_EQ(Files(), std::vector<std::string>{"/etc/q.ini"});
  }
}

TEST_F(TFormMainTest, OwnCertificateIsMadeOnceKeptPrivateAndRenewedBeforeItEnds) {
  WriteIni("/etc/q.ini", 1110);
  const auto start = [&](const std::string& host) {
    RecordingFrontEnd frontEnd;
    TStartupEnvironment environment = Environment({"-I/etc/q.ini"});
    environment.HostName = [host] { return host; };
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, environment);
    EXPECT_TRUE(form.FormCreate()) << ::testing::PrintToString(frontEnd.errors);
    // The TLS lines, before the two on the rules and the allow list.
    return std::vector<std::string>(frontEnd.lines.begin() + 13, frontEnd.lines.end() - 2);
  };
  const std::vector<std::string> first = start("desk.example");
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(storage_.modes["/etc/q.key"], 0600u);
  const TIdSSLServerContext made(storage_.files["/etc/q.crt"], "c", storage_.files["/etc/q.key"],
                                 "k");
  for (const char* name : {"localhost", "127.0.0.1", "::1", "desk.example"})
    EXPECT_TRUE(NamesHost(made.Certificate(), name)) << name;
  EXPECT_EQ(first[1],
            "TLS certificate SHA-256 fingerprint: " + Sha256Fingerprint(made.Certificate()));
  EXPECT_EQ(NotAfter(made.Certificate()) / 86400, std::time(nullptr) / 86400 + 825);

  const int saves = storage_.saves;
  EXPECT_EQ(start("desk.example"), std::vector<std::string>(first.begin(), first.begin() + 2))
      << "reused as it stands";
  EXPECT_EQ(start("laptop.example").back(),
            "The TLS certificate does not name this machine's host name laptop.example; delete "
            "/etc/q.crt and /etc/q.key to have a new one made.");
  EXPECT_EQ(storage_.saves, saves);

  const TIdCertificate ending = MakeCertificate({"localhost", "DNS:localhost", -800, 29});
  storage_.files["/etc/q.crt"] = CertificatePem(ending.Cert.get());
  storage_.files["/etc/q.key"] = KeyPem(ending.Key.get());
  const std::vector<std::string> renewed = start("desk.example");
  EXPECT_NE(renewed[1], first[1]);
  EXPECT_NE(renewed[2].find(", as the old one ends on "), std::string::npos) << renewed[2];
  storage_.files.erase("/etc/q.crt");
  EXPECT_NE(start("desk.example")[1], renewed[1]) << "a lone key is replaced with its certificate";
}

TEST_F(TFormMainTest, CertificateThatCannotServeStopsTheStartAndNothingIsWritten) {
  const TIdCertificate good = MakeCertificate({});
  const TIdCertificate other = MakeCertificate({});
  const TIdCertificate expired = MakeCertificate({"localhost", "", -30, -1});
  const std::string cert = CertificatePem(good.Cert.get());
  const std::string key = KeyPem(good.Key.get());
  const std::string advice =
      "  Name a certificate and its key as CertificateFile and KeyFile in section [TLS] of "
      "/etc/q.ini.  The Quillbox will abort.";
  struct Case {
    std::string tls;
    std::map<std::string, std::string> files;
    std::string error;  // "" when the start succeeds
  } cases[] = {
      {"CertificateFile=c.pem\nKeyFile=/keys/k.pem",
       {{"/etc/c.pem", cert}, {"/keys/k.pem", key}},
       ""},
      {"CertificateFile=/etc/both.pem", {{"/etc/both.pem", cert + key}}, ""},
      {"CertificateFile=c.pem",
       {},
       "The Quillbox could not use its TLS certificate: The TLS certificate /etc/c.pem does not "
       "exist."},
      {"CertificateFile=c.pem\nKeyFile=k.pem",
       {{"/etc/c.pem", cert}, {"/etc/k.pem", KeyPem(other.Key.get())}},
       "The Quillbox could not use its TLS certificate: The TLS key /etc/k.pem does not belong "
       "to the certificate /etc/c.pem."},
      {"CertificateFile=c.pem\nKeyFile=k.pem",
       {{"/etc/c.pem", CertificatePem(expired.Cert.get())},
        {"/etc/k.pem", KeyPem(expired.Key.get())}},
       "The Quillbox could not use its TLS certificate: The TLS certificate /etc/c.pem expired "
       "on "},
      {"KeyFile=k.pem",
       {{"/etc/k.pem", key}},
       "The Quillbox could not use its TLS certificate: KeyFile is set in section [TLS] of "
       "/etc/q.ini, CertificateFile is not."},
      {"",
       {{"/etc/q.crt", "garbage"}, {"/etc/q.key", key}},
       "The Quillbox could not use its TLS certificate: The TLS certificate /etc/q.crt could not "
       "be read as PEM ("},
  };
  for (const Case& c : cases) {
    storage_.files = c.files;
    WriteIni("/etc/q.ini", 1110, 0, "[TLS]\n" + c.tls + "\n");
    const auto before = storage_.files;
    RecordingFrontEnd frontEnd;
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, Environment({"-I/etc/q.ini"}));
    EXPECT_EQ(form.FormCreate(), c.error.empty())
        << c.tls << ::testing::PrintToString(frontEnd.errors);
    EXPECT_EQ(storage_.files, before) << c.tls;
    if (c.error.empty()) {
      EXPECT_EQ(frontEnd.lines[13], "TLS certificate: " + c.files.begin()->first);
      continue;
    }
    ASSERT_EQ(frontEnd.errors.size(), 1u) << c.tls;
    EXPECT_EQ(frontEnd.errors[0].substr(0, c.error.size()), c.error);
    if (c.tls.empty()) {
      EXPECT_NE(frontEnd.errors[0].find("Delete /etc/q.crt and /etc/q.key"), std::string::npos);
    }
    EXPECT_TRUE(frontEnd.errors[0].ends_with(advice)) << frontEnd.errors[0];
    EXPECT_FALSE(form.IdPOP3Server.Active());
  }
}

TEST_F(TFormMainTest, AnOwnCertificateThatCannotBeStoredLeavesOnlyTheTLSPortUnserved) {
  for (const bool tlsPort : {false, true}) {
    WriteIni("/etc/q.ini", 1110, tlsPort ? 1995 : 0);
    storage_.failSaveAfter = 0;
    RecordingFrontEnd frontEnd;
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd,
                   Environment({"-I/etc/q.ini"}, LoopbackBindings(tlsPort)));
    EXPECT_EQ(form.FormCreate(), !tlsPort);
    ASSERT_EQ(frontEnd.errors.size(), 1u);
    EXPECT_TRUE(frontEnd.errors[0].starts_with(
        "The Quillbox could not store its TLS certificate: Unable to write to /etc/q.key"))
        << frontEnd.errors[0];
    if (!tlsPort) {
      EXPECT_EQ(frontEnd.lines.end()[-3], "TLS certificate: none, so STLS is not offered.");
    }
  }
}

TEST_F(TFormMainTest, TLSPortSpeaksTLSFromTheFirstByte) {
  WriteIni("/etc/q.ini", 1110, 1995);
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_,
                 Environment({"-I/etc/q.ini"}, LoopbackBindings(true)));
  ASSERT_TRUE(form.FormCreate()) << ::testing::PrintToString(frontEnd_.errors);
  const int tlsPort = form.BoundPort(true);
  EXPECT_EQ(frontEnd_.lines[11], "Port number: " + std::to_string(form.BoundPort()));
  EXPECT_EQ(frontEnd_.lines[12], "TLS port number: " + std::to_string(tlsPort));
  Pop3Client client(tlsPort);
  ASSERT_EQ(client.StartTLS(), "");
  EXPECT_EQ(client.ReadLine(), "+OK Welcome to the Quillbox Version 3.0.0.11");
}

TEST_F(TFormMainTest, ExitWritesPlacementFontAndGeneralInThatOrder) {
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({}));
  form.IniFileName = "/home/a/q.ini";
  form.WriteIniFileAtExit(TFormStatus(), TFontInfo());
  EXPECT_EQ(storage_.files["/home/a/q.ini"],
            "[FormMain]\nWindowState=0\nTop=122\nLeft=413\nWidth=519\nHeight=284\n\n"
            "[Font]\nFontName=Courier New\nFontStyle=0\nFontSize=9\nCharacterSet=0\n\n"
            "[General]\nListeningPort=123\nMaxConnections=1\nAllowConnectionFromOutside=0\n"
            "LogDirectory=C:\\\nTLSListeningPort=0\nRequireTLSFromOutside=1\n");
}

TEST_F(TFormMainTest, FailedPlacementWriteStopsTheExitWrites) {
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({}));
  form.IniFileName = "/ro/q.ini";
  storage_.failSaveAfter = 0;
  EXPECT_THROW(form.WriteIniFileAtExit(TFormStatus(), TFontInfo()), EIniFileError);
  EXPECT_EQ(storage_.saves, 0);
}

TEST_F(TFormMainTest, AnInstalledProgramReadsTheConfigFolderUnlessDashINamesAFile) {
  struct Case {
    bool folderWritable;
    std::vector<std::string> arguments;
    std::string expected;
  } cases[] = {
      {true, {}, "/opt/quillbox/quillboxd.ini"},
      {false, {}, "/home/alice/.config/quillbox/quillbox.ini"},
      {false, {"-I/etc/q.ini"}, "/etc/q.ini"},
  };
  for (const Case& c : cases) {
    const int port = 1110;
    WriteIni(c.expected, port);
    TStartupEnvironment environment = Environment(c.arguments);
    environment.FolderWritable = [&](const std::string& folder) {
      EXPECT_EQ(folder, "/opt/quillbox");
      return c.folderWritable;
    };
    TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, std::move(environment));
    EXPECT_TRUE(form.FormCreate()) << c.expected << ::testing::PrintToString(frontEnd_.errors);
    EXPECT_EQ(form.IniFileMenuCaption(), "INI file name: " + c.expected);
    EXPECT_EQ(form.ListeningPort, port) << c.expected;
    form.Shutdown();
  }
}

TEST_F(TFormMainTest, FirstExitMakesTheConfigFolder) {
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("quillbox-main-test-" + std::to_string(getpid()));
  std::filesystem::remove_all(home);
  TStartupEnvironment environment = Environment({});
  environment.Storage = &DiskIniStorage();
  environment.ConfigFolder = (home / ".config" / "quillbox").string();
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, std::move(environment));
  form.IniFileName = (home / ".config" / "quillbox" / "quillbox.ini").string();
  form.WriteIniFileAtExit(TFormStatus(), TFontInfo());
  EXPECT_EQ(TIniFile(form.IniFileName).ReadInteger("General", "ListeningPort", 0), 123);
  std::filesystem::remove_all(home);
}

// The own key used to be written through a symbolic link into the file it names (a dangling
// link became a plain file), and a key that others could read served without a word.
TEST(ServerCertificateTest, OwnPairIsNeverWrittenThroughALinkAndAnOpenKeyIsReported) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() / ("quillbox-cert-test-" + std::to_string(getpid()));
  const std::string ini = (dir / "q.ini").string(), crt = (dir / "q.crt").string(),
                    key = (dir / "q.key").string(), victim = (dir / "victim").string();
  const TIdCertificate pair = MakeCertificate({"localhost", "DNS:localhost", -1, 400});
  const auto write = [](const std::string& file, const std::string& text, fs::perms mode) {
    std::ofstream(file) << text;
    fs::permissions(file, mode);
  };
  const auto own = [&] {
    write(crt, CertificatePem(pair.Cert.get()), fs::perms(0644));
    write(key, KeyPem(pair.Key.get()), fs::perms(0644));
  };
  const auto named = [&] {
    write(ini, "[TLS]\nCertificateFile=c.pem\nKeyFile=k.pem\n", fs::perms(0644));
    write((dir / "c.pem").string(), CertificatePem(pair.Cert.get()), fs::perms(0644));
    write(victim, KeyPem(pair.Key.get()), fs::perms(0640));
    fs::create_symlink(victim, dir / "k.pem");
  };
  const std::string link =
      " is a symbolic link; the Quillbox keeps its own certificate and key only "
      "as plain files.";
  const struct {
    std::function<void()> setUp;
    std::string outcome;  // the error, or the last note
  } cases[] = {
      {[&] { fs::create_symlink(victim, key); }, "The TLS key " + key + link},
      {[&] { fs::create_symlink(dir / "nowhere", key); }, "The TLS key " + key + link},
      {[&] {
         own();
         fs::remove(crt);
         fs::create_symlink(victim, crt);
       },
       "The TLS certificate " + crt + link},
      {own, "The TLS key " + key + " is open to other users (mode 0644): chmod 600 " + key},
      // Files the user names are the user's: a link is followed, the key's mode still reported.
      {named, "The TLS key " + (dir / "k.pem").string() +
                  " is open to other users (mode 0640): chmod 600 " + (dir / "k.pem").string()},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    write(victim, "precious", fs::perms(0644));
    c.setUp();
    std::string outcome;
    try {
      const std::vector<std::string> notes =
          PrepareServerCertificate(ini, "", "", DiskIniStorage()).Notes;
      outcome = notes.empty() ? "no note" : notes.back();
    } catch (const EIdCertificateError& e) {
      outcome = e.Message();
      std::ifstream in(victim);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious") << outcome;
      EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0644)) << outcome;
      EXPECT_FALSE(fs::exists(dir / "nowhere")) << outcome;
    }
    EXPECT_EQ(outcome, c.outcome);
  }
  fs::remove_all(dir);
}

TEST_F(TFormMainTest, AboutBoxShowsTheVersionData) {
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({}));
  form.ShowVersionInfo("credits");
  ASSERT_EQ(frontEnd_.information.size(), 1u);
  EXPECT_EQ(frontEnd_.information[0].rfind("Product name: Quillbox.exe\r\n", 0), 0u);
  EXPECT_EQ(form.VersionInfo.FileVersion, "3.0.0.11");
}

}  // namespace
}  // namespace quillbox
