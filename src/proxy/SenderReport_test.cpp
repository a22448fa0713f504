#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "judge/ReservedBlocks.h"
#include "proxy/MessageSource.h"
#include "proxy/ProxyHarness.h"
#include "proxy/RuleFile.h"
#include "proxy/SenderReport.h"

namespace quillbox {
namespace {

using Lines = std::vector<std::string>;

const std::string kRules =
    "[QuillboxRules]\nLookAhead=0\n[S25R]\nDNSServer=127.0.0.1\nSelectFrom=Top\n"
    "MatchString=/\\(\\S* ?\\[(?!127\\.)(IPv6:)?[0-9a-f:.]+\\]\\) by mx\\.example\\.net/i\n";

Lines Header(const std::string& address) {
  return {"Received: from localhost (localhost [127.0.0.1]) by mx.example.net",
          "Received: from x (y [" + address + "]) by mx.example.net", "Subject: " + address};
}

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The four lines the proxy gives a message through RETR, and the report's, must be the same for
// every status: the report judges with the proxy's own code, and says why line by line.
TEST(SenderReportTest, ReportGivesTheVerdictTheProxyDeliversAndItsReasons) {
  test::ProxyHarness h;
  h.names.nameOf = {{"198.51.100.2", "dyn-198-51-100-2.example.com"},
                    {"203.0.113.7", "mail.example.org"},
                    {"192.0.2.33", "cheat.example.com"},
                    {"192.0.2.44", "noaddr.example.com"},
                    {"198.51.100.77", "dyn-77.example.com"},
                    {"2001:db8::7", "mail.example.org"}};
  h.dns.SetAddresses({{"dyn-198-51-100-2.example.com", {"198.51.100.2"}},
                      {"mail.example.org", {"203.0.113.7", "2001:db8::7"}},
                      {"cheat.example.com", {"192.0.2.1", "192.0.2.2"}},
                      {"dyn-77.example.com", {"198.51.100.77"}}});
  h.proxy.JudgeFiles.Use(
      {"/^mail\\.example\\.com$/", "/^dyn-/"},
      std::make_shared<const TAllowList>("S25R_Allow.txt", "dyn-77.example.com\n"));
  const struct {
    std::string sender;
    Lines shown;  // lines the text report must hold
  } rows[] = {
      {"203.0.113.7",
       {"Reverse lookup: mail.example.org", "Forward lookup: 203.0.113.7", "Paranoid check: passed",
        "Rule: none matched"}},
      {"198.51.100.2", {"Paranoid check: passed", "Rule: 2 /^dyn-/"}},
      {"192.0.2.33", {"Forward lookup: 192.0.2.1, 192.0.2.2", "Paranoid check: failed"}},
      {"192.0.2.44", {"Reverse lookup: noaddr.example.com", "Forward lookup: no address"}},
      {"192.0.2.99", {"Reverse lookup: no host name"}},
      {"198.51.100.77",
       {"Rule: 2 /^dyn-/",
        "Allowed by S25R_Allow.txt line 1 (dyn-77.example.com): would be S25R Rule 2"}},
      {"IPv6:2001:DB8::7", {"Sender address: 2001:db8::7", "Forward lookup: 2001:db8::7"}},
      {"1.2.3", {"Warning: the text selected in line 2 holds no address: the status is Unknown"}},
  };
  for (const auto& row : rows)
    h.upstream.messages.push_back(test::Message(Header(row.sender), {"b"}));
  h.Start();
  auto client = h.LoggedIn(kRules);
  const TJudgeSetup setup =
      LoadJudgeSetup(h.RuleFile("rules.ini", kRules), h.proxy.JudgeFiles.Current());
  const std::atomic<bool> never{false};
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sender);
    ASSERT_EQ(client->Command("RETR " + std::to_string(++n)).substr(0, 3), "+OK");
    Lines delivered = client->ReadUntilDot();
    delivered = Lines(delivered.begin() + 3, delivered.begin() + 7);
    TSenderReport report = SelectSender(setup, Header(row.sender));
    if (!report.Address.empty())
      CompleteReport(report, setup,
                     LookUpSender(setup, h.names, h.dns.Port(), never, report.Address));
    EXPECT_EQ(report.Annotation, delivered);
    const Lines text = ReportText(report, 0);
    for (const std::string& line : row.shown)
      EXPECT_TRUE(Has(text, line)) << line;
  }
}

TEST(SenderReportTest, WarnsWhereTheSelectionIsLikelyWrong) {
  const std::string pf = " by mx1.example.ne.jp (Postfix)";
  const struct {
    const char* name;
    Lines header;
    std::string matchString;
    Lines warnings;  // kind and the lines it points at
  } rows[] = {
      {"the provider's content filter selected",
       {"Received: from localhost (localhost [127.0.0.1])" + pf},
       "/\\[[0-9.]+\\]/",
       {"special-address 1"}},
      {"a private relay",
       {"Received: from r (r [192.168.4.5])" + pf},
       "/\\[[0-9.]+\\]/",
       {"special-address 1"}},
      {"shared address space",
       {"Received: from r (r [100.64.0.9])" + pf},
       "/\\[[0-9.]+\\]/",
       {"special-address 1"}},
      {"unique-local IPv6",
       {"Received: from r (r [IPv6:fd00::5])" + pf},
       "/\\[[0-9a-f:.IPv6]+\\]/",
       {"special-address 1"}},
      {"an outside host above the selected line",
       {"Received: from a.example.org (a.example.org [192.0.2.7])" + pf,
        "Received: from b.example.com (b.example.com [192.0.2.8])" + pf},
       "/b\\.example\\.com \\[[0-9.]+\\]/",
       {"special-address 2", "outside-host-above 1"}},
      {"the provider's own hop above is no outside host",
       {"Received: from mx2.example.ne.jp (mx2.example.ne.jp [192.0.2.7])" + pf,
        "Received: from b.example.com (b.example.com [8.8.8.8]) by mx2.example.ne.jp"},
       "/b\\.example\\.com \\[[0-9.]+\\]/",
       {}},
      {"nothing selected: the provider's lines shown",
       {"Received: from a (a [8.8.8.8])" + pf, "Received: from b (b [8.8.4.4]) by c.example.org",
        "Received: from c (c [9.9.9.9]) by mx2.example.ne.jp"},
       "/nomatch/",
       {"nothing-selected 1 3"}},
      {"a selection without an address",
       {"Received: from a (a [8.8.8.8])" + pf},
       "/from a/",
       {"nothing-selected 1"}},
      {"a global address raises nothing",
       {"Received: from a (a [8.8.8.8])" + pf},
       "/\\[[0-9.]+\\]/",
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TJudgeSetup setup;
    setup.Lists = std::make_shared<const TJudgeLists>();
    setup.Session.MatchString = row.matchString;
    setup.Session.SelectFrom = TSelectFrom::kTop;
    Lines warnings;
    for (const TReportWarning& w : SelectSender(setup, row.header).Warnings) {
      std::string text = WarningKindName(w.Kind);
      for (const size_t line : w.Lines)
        text += " " + std::to_string(line + 1);
      warnings.push_back(text);
    }
    EXPECT_EQ(warnings, row.warnings);
  }
}

TEST(SenderReportTest, SpecialPurposeBlocksOfBothFamilies) {
  const struct {
    const char* address;
    const char* block;  // "" for none
  } rows[] = {
      {"127.0.0.1", "loopback"},
      {"10.1.2.3", "private"},
      {"172.31.0.1", "private"},
      {"172.32.0.1", ""},
      {"192.168.0.1", "private"},
      {"100.127.255.255", "shared"},
      {"100.128.0.1", ""},
      {"169.254.1.1", "link-local"},
      {"192.0.2.1", "documentation"},
      {"198.18.0.1", "benchmarking"},
      {"224.0.0.1", "multicast"},
      {"255.255.255.255", "broadcast"},
      {"240.0.0.1", "reserved"},
      {"0.1.2.3", "this network"},
      {"8.8.8.8", ""},
      {"::1", "loopback"},
      {"::", "unspecified"},
      {"fe80::1", "link-local"},
      {"fd12::1", "unique-local"},
      {"2001:db8::1", "documentation"},
      {"::ffff:10.0.0.1", "private"},
      {"2001:2::1", "benchmarking"},
      {"2a00:1450::1", ""},
      {"not an address", ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(SpecialPurposeBlock(row.address).value_or(""), row.block) << row.address;
}

struct Inputs : ::testing::Test {
  Inputs()
      : folder(std::filesystem::temp_directory_path() /
               ("judge-inputs-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(folder);
  }
  ~Inputs() override { std::filesystem::remove_all(folder); }
  std::string File(const std::string& name, const std::string& content) {
    const auto path = folder / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  // "source: first header line .. last" for each message, or the error.
  Lines Read(const std::string& input, const std::string& in = "") {
    Lines read;
    std::istringstream stream(in);
    try {
      ReadMessages(input, stream, [&](TInputMessage m) {
        read.push_back(m.Source.substr(m.Source.rfind('/') + 1) + ": " +
                       (m.Header.empty() ? "" : m.Header.front() + " .. " + m.Header.back()) +
                       (m.TooLong ? " (too long)" : ""));
      });
    } catch (const EInputError& e) {
      std::string message = e.Message();
      message.erase(0, message.find(folder.string()) == 0 ? folder.string().size() + 1 : 0);
      read.push_back("error: " + message);
    }
    return read;
  }
  std::filesystem::path folder;
};

TEST_F(Inputs, EveryKindOfInputGivesItsMessagesHeaders) {
  EXPECT_EQ(Read(File("a.eml", "Subject: a\r\nX: b\r\n\r\nbody\r\n")),
            Lines({"a.eml: Subject: a .. X: b"}));
  EXPECT_EQ(Read("-", "Subject: in\n folded\n\nbody\n"), Lines({"-: Subject: in ..  folded"}));
  // Only a From line after an empty line begins a message; a quoted one never does.
  EXPECT_EQ(Read(File("box",
                      "From a@b Wed Dec  9 10:00:00 2026\r\nSubject: 1\r\n\r\nx\r\n"
                      "From me\r\n\r\n>From you\r\n\r\n"
                      "From c@d Wed Dec  9 10:00:00 2026\nFrom: c@d\nSubject: 2\n\n")),
            Lines({"box #1: Subject: 1 .. Subject: 1", "box #2: From: c@d .. Subject: 2"}));
  File("md/new/2", "Subject: new\n\n");
  File("md/cur/1:2,S", "Subject: cur\n\n");
  File("md/cur/.hidden", "Subject: no\n\n");
  EXPECT_EQ(Read((folder / "md").string()),
            Lines({"2: Subject: new .. Subject: new", "1:2,S: Subject: cur .. Subject: cur"}));
  std::filesystem::create_directories(folder / "plain");
  EXPECT_EQ(Read((folder / "plain").string()),
            Lines({"error: plain is a folder but no maildir: it has neither cur/ nor new/."}));
  EXPECT_EQ(Read(File("pic.png", "\x89PNG\r\n")),
            Lines({"error: pic.png is no message: its first line is no header field."}));
  EXPECT_EQ(Read(File("empty", "")), Lines({"error: empty is empty: it holds no message."}));
  EXPECT_EQ(Read((folder / "missing").string()),
            Lines({"error: missing cannot be read: No such file or directory."}));
  const std::string longLine = "X-Long: " + std::string(TInputMessage::kHeaderBytes, 'x');
  EXPECT_EQ(Read(File("long", "Subject: s\n" + longLine + "\n\n")),
            Lines({"long: Subject: s .. Subject: s (too long)"}));
}

// Each sender is looked up once, never more than the bound at once, whatever the order.
TEST(SenderReportTest, LookUpAllAsksEachSenderOnceAndBoundsTheLookupsInFlight) {
  Lines addresses;
  for (int i = 0; i < 100; ++i)
    addresses.push_back("192.0.2." + std::to_string(i % 40));
  std::mutex lock;
  Lines asked;
  std::atomic<int> inFlight{0}, most{0};
  const std::atomic<bool> never{false};
  const auto found = LookUpAll(
      addresses,
      [&](const std::string& address, const std::atomic<bool>&) {
        most = std::max(most.load(), ++inFlight);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --inFlight;
        const std::lock_guard<std::mutex> guard(lock);
        asked.push_back(address);
        TSenderLookup lookup;
        lookup.Judged.Verdict.Address = address;
        return lookup;
      },
      never);
  EXPECT_EQ(asked.size(), 40u);
  EXPECT_EQ(found.size(), 40u);
  EXPECT_EQ(found.at("192.0.2.7").Judged.Verdict.Address, "192.0.2.7");
  EXPECT_LE(most.load(), static_cast<int>(kConcurrentLookups));
  EXPECT_GT(most.load(), 1);
  const std::atomic<bool> cancelled{true};
  EXPECT_TRUE(LookUpAll(
                  addresses,
                  [](const std::string&, const std::atomic<bool>&) { return TSenderLookup(); },
                  cancelled)
                  .empty());
}

// A rule file the proxy refuses, or an expression it cannot use, is refused before any message
// with the text the mail client would get after -ERR.
TEST(SenderReportTest, UnusableRuleFileIsRefusedWithTheProxysText) {
  test::ProxyHarness h;
  const auto lists = std::make_shared<const TJudgeLists>();
  const struct {
    const char* content;
    const char* message;
  } rows[] = {
      {"[S25R]\nSelectFrom=Middle\n",
       "SelectFrom=Middle in section [S25R] of the rule file is not valid; use Bottom or Top."},
      {"[S25R]\nMatchString=/(/\n", "missing closing parenthesis at offset 1"},
  };
  for (const auto& row : rows) {
    try {
      LoadJudgeSetup(h.RuleFile("bad.ini", row.content), lists);
      ADD_FAILURE() << row.content;
    } catch (const ERuleFileError& e) {
      EXPECT_EQ(e.Message(), row.message);
    }
  }
  TJudgeLists badRule;
  badRule.Rules = {"/ok/", "/[/"};
  EXPECT_THROW(LoadJudgeSetup("", std::make_shared<const TJudgeLists>(badRule)), ERuleFileError);
}

}  // namespace
}  // namespace quillbox
