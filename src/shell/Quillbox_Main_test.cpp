#include "shell/Quillbox_Main.h"

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "base/FakeIniStorage.h"
#include "net/IdTCPClient.h"
#include "support/Loopback.h"

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

// The first line the server on a loopback port sends, within two seconds.
std::string GreetingAt(int port) {
  TIdTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = port;
  client.Connect();
  client.IOHandler().ReadTimeout = 2000;
  return client.IOHandler().ReadLine();
}

class TFormMainTest : public ::testing::Test {
 protected:
  TStartupEnvironment Environment(std::vector<std::string> arguments) {
    TStartupEnvironment environment;
    environment.ExecutablePath = "/opt/quillbox/quillboxd";
    environment.Arguments = std::move(arguments);
    environment.Clock = &clock_;
    environment.Storage = &storage_;
    environment.RulesFileName = "/nonexistent/S25R_Rules.txt";
    environment.ConfigFolder = "/home/alice/.config/quillbox";
    environment.FolderWritable = [](const std::string&) { return true; };
    return environment;
  }
  void WriteIni(const std::string& name, int port) {
    storage_.files[name] = "[General]\nListeningPort=" + std::to_string(port) + "\n";
  }

  FixedClock clock_;
  FakeIniStorage storage_;
  TMemoQueue queue_;
  RecordingFrontEnd frontEnd_;
};

TEST_F(TFormMainTest, StartsOnTheConfiguredPortAndGreetsWithTheVersion) {
  const int port = FreePort();
  WriteIni("/etc/q.ini", port);
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_,
                 Environment({"-i/ignored.ini", "-I/etc/q.ini"}));
  ASSERT_TRUE(form.FormCreate()) << (frontEnd_.errors.empty() ? "" : frontEnd_.errors[0]);
  EXPECT_EQ(form.IniFileName, "/etc/q.ini");
  EXPECT_EQ(form.IniFileMenuCaption(), "INI file name: /etc/q.ini");
  EXPECT_EQ(form.Caption(), "Quillbox  3.0.0.11");
  ASSERT_EQ(frontEnd_.lines.size(), 13u);
  EXPECT_EQ(frontEnd_.lines[0], "Hello.  Welcome to the Quillbox Version 3.0.0.11");
  EXPECT_EQ(frontEnd_.lines[11], "Port number: " + std::to_string(port));
  EXPECT_EQ(frontEnd_.lines[12], "Started at Dec/07/2026 03:00:44");
  EXPECT_EQ(GreetingAt(port), "+OK Welcome to the Quillbox Version 3.0.0.11");
  form.Shutdown();
  EXPECT_FALSE(form.IdPOP3Server.Active());
  EXPECT_EQ(storage_.saves, 0) << "start-up and shutdown write nothing";
}

TEST_F(TFormMainTest, WithoutAnIniFileTheDefaultsApply) {
  // A binding of our own on a free loopback port stands in for the default bindings on port
  // 123, so the outcome never depends on who holds that port on the machine running the test.
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({"-I"}));
  form.IdPOP3Server.Bindings().push_back(TIdSocketHandle{"127.0.0.1", 0, Id_IPv4});
  EXPECT_TRUE(form.FormCreate());
  EXPECT_EQ(form.IniFileName, "/opt/quillbox/quillboxd.ini");
  EXPECT_EQ(form.ListeningPort, 123);
  EXPECT_EQ(form.IdPOP3Server.DefaultPort, 123);
  EXPECT_EQ(form.MaxConnections, 1);
  EXPECT_EQ(form.IdPOP3Server.MaxConnections, 1);
  EXPECT_FALSE(form.AllowConnectionFromOutside);
  EXPECT_EQ(form.LogDirectory, "C:\\");
  form.Shutdown();
  EXPECT_EQ(storage_.saves, 0);
}

TEST_F(TFormMainTest, BindFailureShowsTheCauseKeepsTheBannerAndWritesNothing) {
  struct Case {
    int bindError;
    std::string expectedTail;
  } cases[] = {
      {EADDRINUSE, ") is already in use.  The Quillbox will abort."},
      {EACCES,
       ") is a privileged port that only the administrator may use.  Choose a port of 1024 or "
       "more as ListeningPort in /etc/q.ini.  The Quillbox will abort."},
  };
  for (const auto& c : cases) {
    LoopbackListener holder;
    const int port = holder.Port();
    WriteIni("/etc/q.ini", port);
    RecordingFrontEnd frontEnd;
    TStartupEnvironment environment = Environment({"-I/etc/q.ini"});
    environment.BindError = [&c](int) { return c.bindError; };
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, environment);
    EXPECT_FALSE(form.FormCreate());
    ASSERT_EQ(frontEnd.errors.size(), 1u);
    EXPECT_EQ(frontEnd.errors[0], "The Quillbox could not bind socket.  The port (" +
                                      std::to_string(port) + c.expectedTail);
    EXPECT_EQ(frontEnd.lines.size(), 11u) << "banner only, no port line";
    EXPECT_EQ(storage_.saves, 0);
  }
}

TEST_F(TFormMainTest, PortOutsideTheRangeIsRefusedBeforeBinding) {
  for (int port : {0, -1, 65536}) {
    WriteIni("/etc/q.ini", port);
    RecordingFrontEnd frontEnd;
    TFormMain form(queue_, frontEnd, frontEnd, frontEnd, Environment({"-I/etc/q.ini"}));
    EXPECT_FALSE(form.FormCreate()) << port;
    EXPECT_FALSE(form.IdPOP3Server.Active()) << port;
    ASSERT_EQ(frontEnd.errors.size(), 1u);
    EXPECT_EQ(frontEnd.errors[0], "The Quillbox could not listen on port (" + std::to_string(port) +
                                      ").  A port number must be from 1 to 65535: set "
                                      "ListeningPort in /etc/q.ini.  The Quillbox will abort.");
  }
}

TEST_F(TFormMainTest, ExitWritesPlacementFontAndGeneralInThatOrder) {
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({}));
  form.IniFileName = "/home/a/q.ini";
  form.WriteIniFileAtExit(TFormStatus(), TFontInfo());
  EXPECT_EQ(storage_.files["/home/a/q.ini"],
            "[FormMain]\nWindowState=0\nTop=122\nLeft=413\nWidth=519\nHeight=284\n\n"
            "[Font]\nFontName=Courier New\nFontStyle=0\nFontSize=9\nCharacterSet=0\n\n"
            "[General]\nListeningPort=123\nMaxConnections=1\nAllowConnectionFromOutside=0\n"
            "LogDirectory=C:\\\n");
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
    const int port = FreePort();
    WriteIni(c.expected, port);
    TStartupEnvironment environment = Environment(c.arguments);
    environment.FolderWritable = [&](const std::string& folder) {
      EXPECT_EQ(folder, "/opt/quillbox");
      return c.folderWritable;
    };
    TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, std::move(environment));
    EXPECT_TRUE(form.FormCreate()) << c.expected;
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

TEST_F(TFormMainTest, AboutBoxShowsTheVersionData) {
  TFormMain form(queue_, frontEnd_, frontEnd_, frontEnd_, Environment({}));
  form.ShowVersionInfo("credits");
  ASSERT_EQ(frontEnd_.information.size(), 1u);
  EXPECT_EQ(frontEnd_.information[0].rfind("Product name: Quillbox.exe\r\n", 0), 0u);
  EXPECT_EQ(form.VersionInfo.FileVersion, "3.0.0.11");
}

}  // namespace
}  // namespace quillbox
