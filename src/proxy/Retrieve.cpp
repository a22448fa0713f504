// RETR: fetch the header, judge the sender named in the selected Received: line, then relay the
// whole message with the verdict added as four header lines before the header's end.
#include "proxy/Retrieve.h"

#include <optional>

#include "base/SysUtils.h"
#include "judge/BRegExp.h"
#include "proxy/Quillbox_Main.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

// How much of a message collects before it is passed on to the client.
constexpr size_t kStreamChunk = 256 * 1024;

bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// Sends command upstream and reads its reply; a "-ERR" ends the retrieval with the real
// server's text.
std::string Request(LogSink& log, TMyPOP3ServerContext& c, const std::string& command) {
  SendUpstream(c, command);
  log.AddToMemo("   P->S " + command);
  std::string reply = ReadUpstreamReply(c);
  if (IsErrReply(reply)) {
    log.AddToMemo("C<-P    " + reply);
    throw EProxyError(ReplyRest(reply, 5));
  }
  return reply;
}

// Reads the pre-fetch answer: the header lines up to the first empty line, then the rest up to
// the ".". An answer that ends before any empty line ends the header there.
void ReadHeader(TMyPOP3ServerContext& c) {
  c.HeaderLines.clear();
  std::string line;
  while (ReadUpstreamAnswerLine(c, line)) {
    if (line.empty()) {
      while (ReadUpstreamAnswerLine(c, line)) {
      }
      return;
    }
    c.HeaderLines.push_back(line);
  }
}

// The part of the lowest Received: line that the user's match string selects, or nothing.
std::optional<std::string> SelectReceived(const std::vector<std::string>& header,
                                          const std::string& matchString) {
  TBRegExp& regExp = SharedRegExp();
  const std::string expression = "m" + matchString;
  for (auto line = header.rbegin(); line != header.rend(); ++line) {
    if (regExp.Match("m/^Received:/i", *line) == 1 && regExp.Match(expression, *line) == 1) {
      return regExp.Strings(0);
    }
  }
  return std::nullopt;
}

std::string FirstDottedQuad(const std::string& text) {
  TBRegExp& regExp = SharedRegExp();
  if (regExp.Match("m/[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+/", text) == 1) {
    return regExp.Strings(0);
  }
  return std::string();
}

}  // namespace

void UnfoldHeader(std::vector<std::string>& lines) {
  size_t kept = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (kept > 0 && IsContinuation(lines[i])) {
      lines[kept - 1] += ' ' + Trim(lines[i]);
    } else {
      if (kept != i) {
        lines[kept] = std::move(lines[i]);
      }
      ++kept;
    }
  }
  lines.resize(kept);
}

std::string StatusText(int status) {
  switch (status) {
    case -1:
      return "Reverse lookup failure";
    case -2:
      return "Forward lookup failure";
    case -3:
      return "Paranoid check failure";
    default:
      return status > 0 ? "S25R Rule " + std::to_string(status) : "Normal";
  }
}

void TQuillboxProxy::IdPOP3ServerRETRieve(TIdCommand& command, int messageNumber) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  const std::string number = std::to_string(messageNumber);
  log_.AddToMemo("C->P    RETR " + number);

  Request(log_, c, "TOP " + number + " " + std::to_string(c.MaxLines));
  ReadHeader(c);
  c.UnfoldedHeader = c.HeaderLines;
  UnfoldHeader(c.UnfoldedHeader);

  std::vector<std::string> added = {
      "X-Quillbox-Sender-IP-Address: Unextracted", "X-Quillbox-Sender-Hostname: Unresolved",
      "X-Quillbox-Lookuped-IP-Address: Unresolved", "X-Quillbox-Status: Unknown"};
  if (const auto selected = SelectReceived(c.UnfoldedHeader, c.MatchString)) {
    const std::string address = FirstDottedQuad(*selected);
    if (!address.empty()) {
      std::string hostName, lookupedAddress;
      int status = 0;
      CheckByS25R(c.Resolver, ReverseLookupStack ? *ReverseLookupStack : c.Stack, c.DNSServer,
                  S25RRules, address, hostName, lookupedAddress, status);
      added = {"X-Quillbox-Sender-IP-Address: " + address,
               "X-Quillbox-Sender-Hostname: " + hostName,
               "X-Quillbox-Lookuped-IP-Address: " + lookupedAddress,
               "X-Quillbox-Status: " + StatusText(status)};
    }
  }

  const std::string rest = ReplyRest(Request(log_, c, "RETR " + number), 4);
  command.Reply.SetCodeAndText("+OK", rest);
  log_.AddToMemo("C<-P    +OK " + rest);

  // The message goes to the client as it arrives instead of after the last line: the two
  // transfers overlap and memory stays bounded whatever the message's size. Once the reply has
  // gone out, a failure can no longer become "-ERR": the command layer then ends the client
  // connection, so the client sees an unfinished answer, never a truncated message ending in ".".
  command.SendReply();
  TIdIOHandlerStack& client = command.Context().Connection().IOHandler();
  bool annotated = false;
  size_t pending = 0;
  std::string line;
  while (ReadUpstreamAnswerLine(c, line)) {
    if (!annotated && line.empty()) {
      command.Response.insert(command.Response.end(), added.begin(), added.end());
      annotated = true;
    }
    pending += line.size() + 2;
    command.Response.push_back(std::move(line));
    if (pending >= kStreamChunk) {
      client.WriteStuffed(command.Response);
      command.Response.clear();
      pending = 0;
    }
  }
  command.AlwaysSendResponse = true;
}

}  // namespace quillbox
