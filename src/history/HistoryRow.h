#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillbox {

// One message judged for a client: a row of the history. A plain value.
struct THistoryRow {
  int64_t Id = 0;       // given by the store, rising
  int64_t Time = 0;     // seconds since the epoch
  std::string Account;  // "user@host:port" of the login name
  std::string Command;  // "RETR" or "TOP"
  int64_t Number = 0;
  std::string Uidl;  // "" when the session does not know it
  // As the header gives them, encoded words decoded to UTF-8.
  std::string MessageId, Date, From, Subject;
  std::string Address, HostName, LookedUpAddress;
  std::string Domain;  // SenderDomain(HostName)
  std::string Status;  // StatusText of the verdict
  int64_t Rule = 0;
  bool Confirmed = false;  // the paranoid check passed
  // The allow-list entry that made it Normal, and the status it replaced; "" when none did.
  std::string AllowList;
  int64_t AllowLine = 0;
  std::string AllowEntry, ReplacedStatus;
  bool Cached = false;  // the verdict came from the verdict cache
  int64_t Size = 0;     // bytes of the answer relayed, without its status line
};

// Which rows a view or a query shows. A plain value.
struct THistoryFilter {
  // "" for all, "Suspicious" for all but Normal, "S25R Rule" for every rule, or a status text
  // ("Normal", "S25R Rule 3", "Reverse lookup failure" ...), in any letter case.
  std::string Status;
  std::string Search;  // a part of From, Subject or the host name, in any letter case
  int64_t Since = 0;   // rows from this time on
};

inline constexpr std::string_view kSuspicious = "Suspicious";
inline constexpr std::string_view kAnyRule = "S25R Rule";

// The statuses a filter offers besides all and Suspicious, in their order.
inline constexpr std::string_view kStatusKinds[] = {"Normal",
                                                    "S25R Rule",
                                                    "Reverse lookup failure",
                                                    "Forward lookup failure",
                                                    "Paranoid check failure",
                                                    "Unknown"};

// The status a row's status text belongs to: "S25R Rule 3" is "S25R Rule", the rest are their
// own.
std::string StatusKind(std::string_view status);

// What a sender's host name is known by for its domain: the name without its first label when
// what is left is more than a registry's suffix ("mail7.example.com" gives ".example.com",
// "mx.example.co.jp" ".example.co.jp"), the name itself otherwise ("example.com", "foo.co.jp");
// "" for no name. Lower case.
std::string SenderDomain(std::string_view hostName);

// time (seconds since the epoch) in local time, formatted by strftime's format.
std::string LocalTimeText(int64_t time, const char* format);

}  // namespace quillbox
