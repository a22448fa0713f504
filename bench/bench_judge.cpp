// Timing of the hot paths of the sender judgment: the rule step (six rules against one host name,
// once per retrieved message), the whole step without lookups for an IPv4 and an IPv6 sender,
// the same with a 10,000-entry allow list that does not hold the sender, and the decoding of one
// DNS reply.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "RatioReporter.h"
#include "judge/AllowList.h"
#include "judge/BRegExp.h"
#include "judge/IdDNSRecords.h"
#include "judge/ReceivedLine.h"
#include "judge/S25R.h"
#include "judge/SenderAddress.h"

namespace {

using namespace quillbox;

// The six rules of examples/S25R_Rules.txt.
const std::vector<std::string> kRules = {
    "/^[^.]*[0-9][^0-9.]+[0-9].*\\./i",
    "/^[^.]*[0-9]{5}/i",
    "/^([^.]+\\.)?[0-9][^.]*\\.[^.]+\\..+\\.[a-z]/i",
    "/^[^.]*[0-9]\\.[^.]*[0-9]-[0-9]/i",
    "/^[^.]*[0-9]\\.[^.]*[0-9]\\.[^.]+\\..+\\./i",
    "/^(dhcp|dialup|ppp|[achrsvx]?dsl)[^.]*[0-9]/i",
};

class NoLog : public LogSink {
 public:
  void AddToMemo(const std::string&) override {}
};

// A server name passes all six rules, so every rule is tried.
void BM_S25RRuleStep(benchmark::State& state) {
  const std::string host = "smtp-out.mail.example.co.jp";
  NoLog log;
  for (auto _ : state)
    benchmark::DoNotOptimize(TS25RJudgment::FirstMatchingRule(kRules, host, log));
}
BENCHMARK(BM_S25RRuleStep);

// The same step with a matcher that keeps one compiled expression, as the matcher of old did:
// every rule is compiled again for every message.
void BM_S25RRuleStepCompilingEachRule(benchmark::State& state) {
  const std::string host = "smtp-out.mail.example.co.jp";
  TBRegExp matcher(1);
  for (auto _ : state) {
    for (const auto& rule : kRules)
      benchmark::DoNotOptimize(matcher.Match("m" + rule, host));
  }
}
BENCHMARK(BM_S25RRuleStepCompilingEachRule);

// The MatchString of examples/rules.ini.
const std::string kMatchString =
    "/\\((?!(localhost|mx[0-9]*\\.example\\.ne\\.jp) )[^ ()]* ?\\[(?!127\\.|(IPv6:)?::1\\])"
    "(IPv6:)?[0-9a-f:.]+\\]\\) *by mx[0-9]*\\.example\\.ne\\.jp/i";

// A provider's header, unfolded, with the sender's address written as that provider writes it.
std::vector<std::string> Header(const std::string& sender, const std::string& local) {
  return {
      "Received: from mx1.example.ne.jp (mx1.example.ne.jp [" + sender +
          "]) by pop1.example.ne.jp (Postfix) with ESMTP id 1",
      "Received: from localhost (localhost [" + local + "]) by mx1.example.ne.jp (amavis) id 2",
      "Received: from helo.example (smtp-out.mail.example.co.jp [" + sender +
          "]) by mx1.example.ne.jp (Postfix) with ESMTP id 3; Tue, 8 Dec 2026 02:00:00 +0000",
      "From: sender@example.co.jp",
      "Subject: a message",
  };
}

// One judgment step without its lookups: the shipped match string selects the exchanger's line,
// the sender's address is taken from it (an IPv6 one validated and made canonical), and the six
// rules judge the host name. Both families judge the same host name, so the steps differ only
// in the address.
void JudgmentStep(benchmark::State& state, const std::vector<std::string>& header,
                  const std::string& expected) {
  NoLog log;
  TBRegExp matcher;
  const std::string host = "smtp-out.mail.example.co.jp";
  for (auto _ : state) {
    const auto selected = SelectReceived(header, kMatchString, TSelectFrom::kTop, matcher, log);
    const auto address = selected ? SenderAddress(*selected) : std::nullopt;
    if (address != expected)
      state.SkipWithError("wrong address");
    benchmark::DoNotOptimize(TS25RJudgment::FirstMatchingRule(kRules, host, log));
  }
}

void BM_JudgmentStepIPv4(benchmark::State& state) {
  JudgmentStep(state, Header("198.51.100.23", "127.0.0.1"), "198.51.100.23");
}
BENCHMARK(BM_JudgmentStepIPv4);

// A list of 10,000 entries as a large site might keep: 6,000 domains (many under the levels of
// the host judged), 1,000 host names, 2,980 networks of five prefix lengths and 20 expressions.
std::string LargeAllowList() {
  std::string list;
  for (int i = 0; i < 6000; ++i)
    list += ".sender" + std::to_string(i) + (i % 3 ? ".example.co.jp\n" : ".example.com\n");
  for (int i = 0; i < 1000; ++i)
    list += "mx" + std::to_string(i) + ".example.net\n";
  for (int i = 0; i < 1000; ++i)
    list += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".0/24\n";
  for (int i = 0; i < 500; ++i)
    list += "192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "\n";
  for (int i = 0; i < 200; ++i)
    list += "172." + std::to_string(16 + i / 100) + "." + std::to_string(i % 100) + ".0/24\n";
  for (int i = 0; i < 780; ++i)
    list += "2001:db8:" + std::to_string(i) + "::/48\n";
  for (int i = 0; i < 500; ++i)
    list += "2001:db8:ffff::" + std::to_string(i) + "\n";
  for (int i = 0; i < 15; ++i)
    list += "/^mail-[a-z0-9]+-f[0-9]+\\.sender" + std::to_string(i) + "\\.example\\.org$/i\n";
  for (int i = 0; i < 5; ++i)
    list += "/\\.bulk" + std::to_string(i) + "\\.example\\.net$/i\n";
  return list;
}

// The whole step as above, then the allow list asked about the sender whose name a rule caught
// and whose forward lookup confirmed it: the costliest case, every level of its name, every prefix
// length and every expression tried, and no entry found.
void BM_JudgmentStepIPv4WithAllowList(benchmark::State& state) {
  const TAllowList list("S25R_Allow.txt", LargeAllowList());
  if (list.Size() != 10000 || !list.Problems().empty())
    state.SkipWithError("the list is not 10,000 entries");
  const auto header = Header("198.51.100.23", "127.0.0.1");
  const std::string host = "smtp-out.mail.example.co.jp";
  TVerdict verdict{TSenderStatus::kRuleMatched,
                   1,
                   "198.51.100.23",
                   host,
                   "198.51.100.23",
                   3600,
                   false,
                   true,
                   std::nullopt};
  NoLog log;
  TBRegExp matcher;
  for (auto _ : state) {
    const auto selected = SelectReceived(header, kMatchString, TSelectFrom::kTop, matcher, log);
    const auto address = selected ? SenderAddress(*selected) : std::nullopt;
    if (address != "198.51.100.23")
      state.SkipWithError("wrong address");
    benchmark::DoNotOptimize(TS25RJudgment::FirstMatchingRule(kRules, host, log));
    list.Apply(verdict, log);
    if (verdict.AllowedBy)
      state.SkipWithError("allowed");
  }
}
BENCHMARK(BM_JudgmentStepIPv4WithAllowList);

void BM_JudgmentStepIPv6(benchmark::State& state) {
  JudgmentStep(state, Header("IPv6:2001:DB8:0:0:1::23", "IPv6:::1"), "2001:db8::1:0:0:23");
}
BENCHMARK(BM_JudgmentStepIPv6);

void Put16(std::string& out, unsigned value) {
  out += static_cast<char>(value >> 8);
  out += static_cast<char>(value);
}

void PutLabels(std::string& out, const std::string& dotted) {
  size_t start = 0;
  for (size_t dot; (dot = dotted.find('.', start)) != std::string::npos; start = dot + 1)
    out += static_cast<char>(dot - start) + dotted.substr(start, dot - start);
  out += static_cast<char>(dotted.size() - start) + dotted.substr(start) + '\0';
}

// A 512-byte reply with 8 records: seven address records under full owner names, the first
// compressed, and one text record that pads the reply.
std::string Reply512() {
  std::string r;
  for (unsigned word : {0x1234u, 0x8180u, 1u, 8u, 0u, 0u})
    Put16(r, word);
  PutLabels(r, "mail.example.com");
  Put16(r, 1);
  Put16(r, 1);
  const auto addRecord = [&r](const std::string& owner, unsigned type, const std::string& data) {
    r += owner;
    for (unsigned word : {type, 1u, 0u, 3600u, static_cast<unsigned>(data.size())})
      Put16(r, word);
    r += data;
  };
  addRecord("\xc0\x0c", 1, std::string("\xc0\x00\x02\x01", 4));
  for (int i = 2; i <= 7; ++i) {
    std::string owner;
    PutLabels(owner, "host-0" + std::to_string(i) + ".mail.example.com");
    addRecord(owner, 1, std::string("\xc0\x00\x02", 3) + static_cast<char>(i));
  }
  const size_t padding = 512 - r.size() - 12 - 1;
  addRecord("\xc0\x0c", 16, static_cast<char>(padding) + std::string(padding, 't'));
  return r;
}

void BM_DecodeReply512With8Records(benchmark::State& state) {
  const std::string reply = Reply512();
  if (reply.size() != 512)
    state.SkipWithError("reply is not 512 bytes");
  TQueryResult result;
  for (auto _ : state) {
    DecodeDnsReply(reply, 0x1234, result);
    benchmark::DoNotOptimize(result.Count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeReply512With8Records);

}  // namespace

// The steps take a microsecond or two, so a busy machine shows in every single run: the medians
// of runs taken in turns are compared, unless the command line says otherwise.
int main(int argc, char** argv) {
  std::vector<char*> arguments(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=7";
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  if (std::none_of(argv + 1, argv + argc, [](const char* a) {
        return std::string_view(a).starts_with("--benchmark_repetitions");
      }))
    arguments.insert(arguments.begin() + 1,
                     {repetitions.data(), interleaving.data(), aggregates.data()});
  int count = static_cast<int>(arguments.size());
  return quillbox::RunAndPrintRatios(
      count, arguments.data(),
      {{"Judgment step with a 10,000-entry allow list / without",
        "BM_JudgmentStepIPv4WithAllowList", "BM_JudgmentStepIPv4", 1.5}});
}
