#include <gtest/gtest.h>

#include <algorithm>

#include "proxy/ProxyHarness.h"
#include "proxy/RuleSuggestion.h"

namespace quillbox {
namespace {

using Lines = std::vector<std::string>;

const std::string kDate = "; Wed, 9 Dec 2026 10:00:00 +0900";
const std::string kPf = " (Postfix) with ESMTPS id 4A0 for <u@example.ne.jp>" + kDate;
const std::string kMs =
    " with Microsoft SMTP Server (version=TLS1_2, cipher=TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384) "
    "id 15.20.7633.25";

// Header chains as the servers write them, top first; each ends with the sender's own hop.
const Lines kPostfixViaMx2 = {
    "Received: from localhost (localhost [127.0.0.1])",
    "\tby mx1.example.ne.jp" + kPf,
    "Received: from mx2.example.ne.jp (mx2.example.ne.jp [192.0.2.11])",
    "\tby mx1.example.ne.jp" + kPf,
    "Received: from helo.example.org (mail.example.org [198.51.100.20])",
    "\tby mx2.example.ne.jp" + kPf,
    "Received: from [10.1.1.5] (pc.example.org [10.1.1.5]) by mail.example.org (Postfix)" + kDate};
const Lines kPostfixIPv6 = {
    "Received: from localhost (localhost [IPv6:::1]) by mx1.example.ne.jp" + kPf,
    "Received: from mail.example.com (mail.example.com [IPv6:2001:db8:5::25])",
    "\tby mx1.example.ne.jp" + kPf};
const Lines kExim = {
    "Received: from localhost ([127.0.0.1] helo=mx.example.net) by mx.example.net with esmtp "
    "(Exim 4.96) (envelope-from <a@example.org>) id 1tKx-0001" +
        kDate,
    "Received: from mail.example.org ([203.0.113.25] helo=out.example.org) by mx.example.net "
    "with esmtps (TLS1.3) tls TLS_AES_256_GCM_SHA384 (Exim 4.96) id 1tKx-0000" +
        kDate};
const Lines kEximIPv6 = {
    "Received: from [2001:db8:7::25] (helo=mail6.example.org) by mx.example.net with esmtps "
    "(Exim 4.96) id 1tKx-0002" +
    kDate};
const Lines kSendmail = {
    "Received: from mx.example.com (localhost [127.0.0.1]) by mx.example.com (8.17.1/8.17.1) "
    "with ESMTP id 4B9A0001" +
        kDate,
    "Received: from helo.example.org (dyn-198-51-100-30.example.org [198.51.100.30] (may be "
    "forged)) by mx.example.com (8.17.1/8.17.1) with ESMTP id 4B9A0000" +
        kDate};
const Lines kSendmailIPv6 = {
    "Received: from helo6 (mail6.example.org [IPv6:2001:db8:8::25]) by mx.example.com "
    "(8.17.1/8.17.1) with ESMTP id 4B9A0002" +
    kDate};
const Lines kQmail = {"Received: (qmail 12345 invoked by uid 89)" + kDate,
                      "Received: from unknown (HELO helo.example.org) (198.51.100.40)",
                      "  by mail.example.jp with SMTP" + kDate};
const Lines kQmailIPv6 = {"Received: (qmail 12346 invoked from network)" + kDate,
                          "Received: from mail6.example.org (HELO mail6.example.org) "
                          "(2001:db8:9::25) by mail.example.jp with ESMTPS" +
                              kDate};
const Lines kMicrosoft = {
    "Received: from AM6PR02MB1234.eurprd02.prod.outlook.com (2603:10a6:20b:1::11) by "
    "DB9PR02MB5678.eurprd02.prod.outlook.com with HTTPS" +
        kDate,
    "Received: from AM6PR0202CA0049.eurprd02.prod.outlook.com (2603:10a6:20b:3a::26) by "
    "AM6PR02MB1234.eurprd02.prod.outlook.com (2603:10a6:20b:1::11)" +
        kMs + kDate,
    "Received: from AM0EUR02FT012.eop-EUR02.prod.protection.outlook.com",
    " (2603:10a6:20b:3a:cafe::f1) by AM6PR0202CA0049.outlook.office365.com",
    " (2603:10a6:20b:3a::26)" + kMs + " via Frontend Transport" + kDate,
    "Received: from mail.example.org (203.0.113.50) by AM0EUR02FT012.mail.protection.outlook.com"
    " (10.13.54.123)" +
        kMs + " via Frontend Transport" + kDate};
const Lines kMicrosoftIPv6 = {
    "Received: from AM6PR02MB1234.eurprd02.prod.outlook.com (2603:10a6:20b:1::11) by "
    "DB9PR02MB5678.eurprd02.prod.outlook.com with HTTPS" +
        kDate,
    "Received: from AM0EUR02FT013.eop-EUR02.prod.protection.outlook.com (2603:10a6:20b:4::f2) "
    "by AM6PR02MB1234.eurprd02.prod.outlook.com (2603:10a6:20b:1::11)" +
        kMs + kDate,
    "Received: from mail6.example.org (2001:db8:a::25) by "
    "AM0EUR02FT013.mail.protection.outlook.com (10.13.54.124)" +
        kMs + kDate};
const Lines kGmail = {
    "Received: by 2002:a05:7300:5b8e:b0:1a2:3b4c:5d6e with SMTP id x14csp123456dyc" + kDate,
    "Received: from mail.example.org (mail.example.org. [203.0.113.60])",
    "        by mx.google.com with ESMTPS id a1si123456wrb.123.2026.12.09.01.00.01",
    "        for <u@gmail.com> (version=TLS1_3 cipher=TLS_AES_256_GCM_SHA384 bits=256/256)" +
        kDate};
const Lines kGmailIPv6 = {
    "Received: by 2002:a05:7300:5b8e:b0:1a2:3b4c:5d6e with SMTP id x14csp123457dyc" + kDate,
    "Received: from mail6.example.org (mail6.example.org. [2001:db8:b::25]) by mx.google.com "
    "with ESMTPS id a2si123456wrb.124" +
        kDate};
// The provider's mx2 with the very address another sample's sender has.
const Lines kMx2IsASender = {
    "Received: from mx2.example.ne.jp (mx2.example.ne.jp [198.51.100.20])",
    "\tby mx1.example.ne.jp" + kPf,
    "Received: from x.example.org (x.example.org [203.0.113.9]) by mx2.example.ne.jp" + kPf};
const Lines kOnlyOwnHops = {
    "Received: from localhost (localhost [127.0.0.1]) by "
    "mx1.example.ne.jp" +
    kPf};

// Each row: samples and, for each, the sender address the proposal must select in the proxy,
// or the start of the problem said instead.
TEST(RuleSuggestionTest, ProposalSelectsEachSamplesOutsideHopInTheProxy) {
  const struct {
    const char* name;
    std::vector<Lines> samples;
    Lines senders;
    std::string problem;
  } rows[] = {
      {"Postfix: content filter, two exchangers, IPv4 and IPv6",
       {kPostfixViaMx2, kPostfixIPv6},
       {"198.51.100.20", "2001:db8:5::25"},
       ""},
      {"Exim", {kExim, kEximIPv6}, {"203.0.113.25", "2001:db8:7::25"}, ""},
      {"Sendmail", {kSendmail, kSendmailIPv6}, {"198.51.100.30", "2001:db8:8::25"}, ""},
      {"qmail", {kQmail, kQmailIPv6}, {"198.51.100.40", "2001:db8:9::25"}, ""},
      {"Microsoft 365", {kMicrosoft, kMicrosoftIPv6}, {"203.0.113.50", "2001:db8:a::25"}, ""},
      {"Gmail", {kGmail, kGmailIPv6}, {"203.0.113.60", "2001:db8:b::25"}, ""},
      {"two providers", {kPostfixViaMx2, kExim}, {}, "The samples disagree: "},
      {"a hop that is the sender of another sample",
       {kPostfixViaMx2, kMx2IsASender},
       {},
       "The samples disagree: "},
      {"no outside hop", {kOnlyOwnHops}, {}, "#1: no Received: line names a host outside"},
  };
  test::ProxyHarness h;
  for (const auto& row : rows) {
    for (const Lines& sample : row.samples)
      h.upstream.messages.push_back(test::Message(sample, {"body"}));
  }
  h.Start();
  int number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<TInputMessage> samples;
    for (const Lines& sample : row.samples)
      samples.push_back({"#" + std::to_string(samples.size() + 1), sample, false});
    const TSuggestion suggestion = SuggestRules(samples);
    if (!row.problem.empty()) {
      EXPECT_TRUE(suggestion.MatchString.empty());
      ASSERT_FALSE(suggestion.Problems.empty());
      EXPECT_EQ(suggestion.Problems.front().substr(0, row.problem.size()), row.problem)
          << suggestion.Problems.front();
      number += static_cast<int>(row.samples.size());
      continue;
    }
    ASSERT_FALSE(suggestion.MatchString.empty()) << suggestion.Problems.front();
    auto client = h.LoggedIn(
        "[QuillboxRules]\nLookAhead=0\n[S25R]\nDNSServer=127.0.0.1\n"
        "SelectFrom=Top\nMatchString=" +
        suggestion.MatchString + "\n");
    for (const std::string& sender : row.senders) {
      ASSERT_EQ(client->Command("RETR " + std::to_string(++number)).substr(0, 3), "+OK");
      const Lines delivered = client->ReadUntilDot();
      EXPECT_TRUE(std::find(delivered.begin(), delivered.end(),
                            "X-Quillbox-Sender-IP-Address: " + sender) != delivered.end())
          << sender << " with " << suggestion.MatchString;
    }
  }
}

}  // namespace
}  // namespace quillbox
