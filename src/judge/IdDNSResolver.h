#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "judge/IdDNSRecords.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

namespace quillbox {

// The six header words of a DNS message. A new header gets an identifier from the system's
// random source, so that an off-path sender cannot guess it. Not thread-safe.
class TDNSHeader {
 public:
  TDNSHeader();

  // An unpredictable identifier from 0 to 65534.
  static uint16_t RandomId();

  uint16_t ID = 0;
  uint16_t Flags = 0;
  uint16_t QDCount = 0, ANCount = 0, NSCount = 0, ARCount = 0;

  // The 12 header bytes in network byte order.
  std::string Bytes() const;
};

// A DNS client: one query in a UDP datagram to one server, sent again while no answer has come,
// and the first datagram back that answers it, decoded into QueryResult(). The query offers
// EDNS0 with kUdpPayloadSize bytes; an answer too large for that comes truncated, and the same
// query then goes over TCP to the same server and port. Used by one thread at a time (each lookup
// owns one); only the Cancel flag it watches may be set from another thread.
class TIdDNSResolver {
 public:
  // stack resolves a DNS server given by name.
  explicit TIdDNSResolver(TIdStack& stack = GStack());

  // Dotted quad, IPv6 address, "LOCALHOST" or a host name; empty: ResolvConfPath's server.
  std::string Host;
  int Port = 53;  // UDP, and TCP for a truncated answer
  TQueryType QueryType;
  // Milliseconds the whole lookup may take: every datagram, and the exchange over TCP.
  int WaitingTime = 5000;
  // Milliseconds after the first datagram at which the query goes out again while no answer has
  // come: a datagram lost on the way (a server's full receive buffer drops it) must not pass for
  // a name without addresses. Those past WaitingTime are not sent.
  std::vector<int> Retransmissions = {1000, 3000};
  // Once set (from any thread), a wait for the answer ends within kCancelSliceMs, unanswered (and
  // an exchange over TCP with EIdDnsResolverError).
  const std::atomic<bool>* Cancel = nullptr;
  static constexpr int kCancelSliceMs = 100;
  bool AllowRecursiveQueries = true;
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
  std::string ResolvConfPath = "/etc/resolv.conf";

  // 1232 bytes pass without fragmenting on every usual path (the figure resolvers agreed on).
  static constexpr uint16_t kUdpPayloadSize = 1232;

  // Asks the server for name in class qclass (0 to 65535). A datagram that does not carry the
  // query's identifier and question is no answer: it is skipped and the wait goes on, so that
  // one stray or forged datagram can neither end the lookup nor pass for its answer (RFC 5452).
  // A retransmission is the same datagram from the same port, identifier included: a late answer
  // to the first one is as good, and an off-path sender still has one identifier to hit, not
  // one for each datagram sent. A format error in answer to the EDNS0 query (from a server that
  // does not know it) is asked once more without it. A truncated answer is never decoded: the
  // answer over TCP replaces it, and when that fails (refused, closed, not in time, not answering
  // the query) the query raises EIdDnsResolverError without ReplyCode(). No answer within
  // WaitingTime leaves the result empty. Raises EIdDnsResolverError (also for an answer whose
  // response code is not 0) or EIdSocketError.
  void QueryDomain(const std::string& name, int qclass);

  // The response code of the last query's answer (3: the name does not exist), or none when no
  // answer came.
  std::optional<int> ReplyCode() const { return replyCode_; }

  const TQueryResult& QueryResult() const { return result_; }
  const TDNSHeader& DNSHeader() const { return header_; }
  const std::string& QueryBytes() const { return query_; }

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  void BuildQuery(const std::string& name, int qclass, bool edns);
  std::optional<std::string> ReceiveAnswer(const std::string& server, TimePoint deadline);
  std::string AskOverTcp(const std::string& server, TimePoint deadline) const;
  bool AnswersQuery(std::string_view reply) const;
  bool BareFormatError(std::string_view reply) const;
  std::string ServerAddress() const;

  TIdStack& stack_;
  TDNSHeader header_;
  std::string query_;
  size_t questionEnd_ = 0;  // where the query's questions end (and its OPT record begins)
  TQueryResult result_;
  std::optional<int> replyCode_;
};

// The first "nameserver" address of a resolv.conf file, or "" when there is none (or no file).
std::string FirstNameserver(const std::string& resolvConfPath);

}  // namespace quillbox
