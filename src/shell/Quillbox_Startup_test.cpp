#include "shell/Quillbox_Startup.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "judge/JudgeFiles.h"
#include "pop3/IdCustomTCPServer.h"
#include "shell/SocketActivation.h"
#include "support/Loopback.h"

namespace quillbox {
namespace {

// Started from the menu, the tray program runs in the home folder, where the user keeps no rules:
// then they are found beside the INI file, or the installed program's own copies count; and
// start-up says which.
TEST(JudgeFileFoldersTest, TheCurrentFolderThenTheIniFilesThenTheInstalledExamplesCount) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/quillbox-folders-XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  const fs::path home = root / "home", config = root / "config",
                 examples = root / "usr" / "share" / "quillbox" / "examples";
  for (const fs::path& folder : {home, config, examples})
    fs::create_directories(folder);
  const std::string program = (root / "usr" / "bin" / "quillbox").string();
  EXPECT_EQ(InstalledExamplesFolder(program), examples.string());
  EXPECT_EQ(InstalledExamplesFolder(""), "");
  const std::vector<std::string> folders =
      JudgeFileFolders(home.string(), (config / "quillbox.ini").string(), program);
  EXPECT_EQ(folders, (std::vector<std::string>{home, config, examples}));

  const char* kRules = TJudgeFiles::kRulesName;
  const char* kAllow = TJudgeFiles::kAllowName;
  const auto rules = [](const fs::path& folder) {
    return "S25R rules: " + (folder / "S25R_Rules.txt").string() + ", 2 rules";
  };
  const auto allow = [](const fs::path& folder) {
    return "S25R allow list: " + (folder / "S25R_Allow.txt").string() + ", 1 entry";
  };
  const struct {
    std::vector<std::pair<fs::path, const char*>> files;
    std::vector<std::string> lines;
  } rows[] = {
      {{},
       {"No S25R rules found: only the lookups and the paranoid check judge.",
        "No S25R allow list found: the lookups and the rules judge every sender."}},
      {{{examples, kRules}, {examples, kAllow}}, {rules(examples), allow(examples)}},
      {{{examples, kRules}, {config, kRules}, {examples, kAllow}},
       {rules(config), allow(examples)}},
      {{{home, kRules}, {config, kRules}, {home, kAllow}, {config, kAllow}},
       {rules(home), allow(home)}},
  };
  for (const auto& row : rows) {
    for (const fs::path& folder : {home, config, examples}) {
      fs::remove(folder / kRules);
      fs::remove(folder / kAllow);
    }
    for (const auto& [folder, name] : row.files)
      std::ofstream(folder / name) << (name == kRules ? "/a/\n/b/\n" : ".example.com\n");
    TJudgeFiles files;
    EXPECT_EQ(files.Load(folders), row.lines);
  }
  fs::remove_all(root);
}

TEST(ChangeFileExtTest, ReplacesOrAppendsTheExtensionOfTheLastPathElement) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"/usr/bin/quillboxd", "/usr/bin/quillboxd.ini"},
      {"/opt/q.b/quillbox", "/opt/q.b/quillbox.ini"},
      {"/opt/quillbox.exe", "/opt/quillbox.ini"},
      {"/home/a/.quillbox", "/home/a/.quillbox.ini"},
      {"quillbox.x.y", "quillbox.x.ini"},
      {"", ".ini"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChangeFileExt(c.path, ".ini"), c.expected) << c.path;
}

TEST(CertificateHostNameTest, OnlyNamesThatCannotAddANameOfTheirOwnPass) {
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"Desk-1.Example", "desk-1.example"},
      {"", ""},
      {"localhost", ""},
      {"a,DNS:evil.example", ""},
      {"a b", ""},
      {"-a", ""},
      {".a", ""},
      {"caf\xc3\xa9", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CertificateHostName(c.name), c.expected) << c.name;
  EXPECT_EQ(CertificateHostName(std::string(254, 'a')), "");
}

TEST(ReadCommandLineTest, LastUpperCaseIWithAPathWins) {
  struct Case {
    std::vector<std::string> arguments;
    const char* expected;
  } cases[] = {
      {{}, "default.ini"},
      {{"-I/tmp/a.ini"}, "/tmp/a.ini"},
      {{"-i/tmp/a.ini"}, "default.ini"},
      {{"-I/tmp/a.ini", "x", "-I/tmp/b.ini"}, "/tmp/b.ini"},
      {{"-I/tmp/a.ini", "-I"}, "/tmp/a.ini"},
      {{"-I"}, "default.ini"},
      {{"-I has spaces"}, " has spaces"},
      {{"--I/tmp/a.ini"}, "default.ini"},
  };
  for (const auto& c : cases) {
    std::string iniFileName = "default.ini";
    ReadCommandLine(c.arguments, iniFileName);
    EXPECT_EQ(iniFileName, c.expected);
  }
}

TEST(BannerLinesTest, ElevenLinesWithTheLegendOneColumnWiderThanThePrefixes) {
  const std::vector<std::string> lines = BannerLines("3.0.0.11", "quillboxd");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "Hello.  Welcome to the Quillbox Version 3.0.0.11");
  EXPECT_NE(lines[1].find("quillboxd"), std::string::npos);
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "The log will be displayed in this area.");
  const char* prefixes[] = {"C->P    ", "   P->S ", "   P<-S ", "C<-P    ", "   P    "};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[4 + i].substr(0, 9), std::string(prefixes[i]) + " ") << i;
    EXPECT_NE(lines[4 + i][9], ' ') << i;
  }
  EXPECT_EQ(lines[8], "   P     Internal message by proxy.");
  EXPECT_EQ(lines[9], "The \"proxy\" means the Quillbox, of course. :-)");
  EXPECT_EQ(lines[10], "");
  EXPECT_EQ(GreetingText("3.0.0.11"), "Welcome to the Quillbox Version 3.0.0.11");
}

TEST(TerminalSafeLineTest, ControlCharactersBecomeQuestionMarksTextStays) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {"   P<-S +OK\tready", "   P<-S +OK\tready"},
      {"C->P    USER \x1b]0;owned\x07", "C->P    USER ?]0;owned?"},
      {"two\r\nC->P    PASS fake", "two??C->P    PASS fake"},
      {std::string("nul\0del\x7f", 8), "nul?del?"},
      {"\xe3\x81\x82\x81\x40", "\xe3\x81\x82\x81\x40"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TerminalSafeLine(c.line), c.expected);
}

TEST(FormatDateTimeTest, EnglishMonthsTwoDigitFieldsAndA24HourClock) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* expected;
  } cases[] = {
      {2026, 11, 7, 3, 0, 44, "Dec/07/2026 03:00:44"},
      {2027, 0, 31, 23, 59, 59, "Jan/31/2027 23:59:59"},
      {2026, 4, 1, 12, 5, 9, "May/01/2026 12:05:09"},
      {2026, 14, 0, 25, -1, 99, "Dec/01/2026 23:00:60"},
  };
  for (const auto& c : cases) {
    std::tm time{};
    time.tm_year = c.year - 1900;
    time.tm_mon = c.month;
    time.tm_mday = c.day;
    time.tm_hour = c.hour;
    time.tm_min = c.minute;
    time.tm_sec = c.second;
    EXPECT_EQ(FormatDateTime(time), c.expected);
  }
}

// Sockets at the consecutive descriptors from kFirst up, as a service manager hands them over;
// closed at the end.
class HandedDescriptors {
 public:
  static constexpr int kFirst = 200;
  explicit HandedDescriptors(const std::vector<int>& fds) : count_(static_cast<int>(fds.size())) {
    for (int i = 0; i < count_; ++i) {
      ::dup2(fds[i], kFirst + i);
      ::close(fds[i]);
    }
  }
  ~HandedDescriptors() {
    for (int i = 0; i < count_; ++i)
      ::close(kFirst + i);
  }

 private:
  int count_;
};

int Listening(int family, int& port) {
  const int fd = test::BoundLoopbackSocket(SOCK_STREAM, port, family);
  ::listen(fd, 4);
  return fd;
}

TEST(ListeningSocketsFromTest, OnlySocketsMeantForThisProcessAndListeningAreServed) {
  int v4 = 0, v6 = 0;
  const HandedDescriptors fds({Listening(AF_INET, v4), Listening(AF_INET6, v6)});
  const long self = ::getpid();
  const std::string pid = std::to_string(self);
  struct Case {
    const char* pid;
    const char* count;
    const char* names;
    size_t expected;
  } cases[] = {
      {nullptr, "2", nullptr, 0},
      {"1", "2", nullptr, 0},
      {"12x", "2", nullptr, 0},
      {pid.c_str(), nullptr, nullptr, 0},
      {pid.c_str(), "0", nullptr, 0},
      {pid.c_str(), "1", "pop3s:pop3", 1},
      {pid.c_str(), "2", "pop3:pop3s", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pid ? c.pid : "-") + " " + (c.count ? c.count : "-"));
    EXPECT_EQ(ListeningSocketsFrom(c.pid, c.count, c.names, self, HandedDescriptors::kFirst).size(),
              c.expected);
  }
  const std::vector<TIdSocketHandle> served =
      ListeningSocketsFrom(pid.c_str(), "2", "pop3:pop3s", self, HandedDescriptors::kFirst);
  EXPECT_EQ(served[0].Port, v4);
  EXPECT_EQ(served[0].IPVersion, Id_IPv4);
  EXPECT_FALSE(served[0].ImplicitTLS);
  EXPECT_EQ(served[1].Port, v6);
  EXPECT_EQ(served[1].IPVersion, Id_IPv6);
  EXPECT_TRUE(served[1].ImplicitTLS);
  EXPECT_EQ(served[1].Descriptor, HandedDescriptors::kFirst + 1);
  EXPECT_EQ(::fcntl(served[1].Descriptor, F_GETFD), FD_CLOEXEC) << "a child never inherits it";
}

// The service manager keeps its copy of a socket it handed over, to hand it over again at the
// next start: the listener's shutdown must leave it listening.
TEST(ListeningSocketsFromTest, AServedSocketIsClosedAtShutdownYetListensOnForItsOwner) {
  int port = 0;
  const int owners = Listening(AF_INET, port);
  const HandedDescriptors fds({::dup(owners)});
  const long self = ::getpid();
  TIdCustomTCPServer server;
  server.OnExecute = [](TIdContext& context) {
    context.Connection().IOHandler().WriteLine("+OK served");
    context.Connection().Disconnect();
  };
  server.Bindings() = ListeningSocketsFrom(std::to_string(self).c_str(), "1", nullptr, self,
                                           HandedDescriptors::kFirst);
  server.SetActive(true);
  EXPECT_EQ(server.Bindings()[0].Port, port);
  const auto connect = [port] {
    auto socket = TIdPosixSocket::Create(Id_IPv4);
    socket->Connect("127.0.0.1", port, test::kWaitMs);
    return socket;
  };
  TIdIOHandlerStack client;
  client.Open(connect());
  client.ReadTimeout = test::kWaitMs;
  EXPECT_EQ(client.ReadLine(), "+OK served");
  server.SetActive(false);
  EXPECT_EQ(::fcntl(HandedDescriptors::kFirst, F_GETFD), -1) << "closed with the listener";
  EXPECT_NO_THROW(connect()) << "the owner's socket was shut down";
  ::close(owners);
}

TEST(ListeningSocketsFromTest, WhatCannotBeServedStopsTheStartWithTheReason) {
  int pipeFds[2], port = 0;
  ASSERT_EQ(::pipe(pipeFds), 0);
  ::close(pipeFds[1]);
  const HandedDescriptors fds({test::BoundLoopbackSocket(SOCK_STREAM, port),
                               test::BoundLoopbackSocket(SOCK_DGRAM, port), pipeFds[0]});
  const long self = ::getpid();
  const std::string pid = std::to_string(self);
  struct Case {
    const char* count;
    int first;
    std::string error;
  } cases[] = {
      {"x", HandedDescriptors::kFirst,
       "LISTEN_FDS=x is not a number of handed-over sockets from 0 to 16."},
      {"17", HandedDescriptors::kFirst,
       "LISTEN_FDS=17 is not a number of handed-over sockets from 0 to 16."},
      {"1", HandedDescriptors::kFirst,
       "The socket handed over as descriptor 200 is not a listening TCP socket."},
      {"1", HandedDescriptors::kFirst + 1,
       "The socket handed over as descriptor 201 is not a listening TCP socket."},
      {"1", HandedDescriptors::kFirst + 2,
       "The socket handed over as descriptor 202 is not a listening TCP socket."},
      {"1", HandedDescriptors::kFirst + 3,
       "The socket handed over as descriptor 203 is not a listening TCP socket."},
  };
  for (const Case& c : cases) {
    try {
      ListeningSocketsFrom(pid.c_str(), c.count, nullptr, self, c.first);
      ADD_FAILURE() << c.error;
    } catch (const EHandedSockets& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
  }
}

}  // namespace
}  // namespace quillbox
