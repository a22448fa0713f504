// RETR: pre-fetch the header and judge the sender named in the selected Received: line, then
// relay the whole message with the verdict added as four header lines where the header ends. The
// verdict belongs to the message delivered: the retrieval's own header is read before anything
// goes to the client, and judged again when it is not the header the pre-fetch gave. A TOP answer
// goes the same way, judged on its own header.
#include "proxy/MessageHeader.h"
#include "proxy/Quillbox_Main.h"
#include "proxy/SessionLog.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

// How much of a message collects before it is passed on to the client.
constexpr size_t kStreamChunk = 256 * 1024;

// Sends command upstream and reads its reply.
std::string Ask(LogSink& log, TMyPOP3ServerContext& c, const std::string& command) {
  SendUpstream(c, command);
  log.AddToMemo("   P->S " + command);
  return ReadUpstreamReply(c);
}

// Reads an answer's lines into message until its header has ended; false when the answer ended
// first.
bool CollectHeader(TMyPOP3ServerContext& c, TMessageAnnotation& message) {
  std::string line;
  while (ReadUpstreamAnswerLine(c, line)) {
    if (!message.CollectHeader(std::move(line)))
      return true;
  }
  return false;
}

// The pre-fetch: the header of message number by TOP into c.HeaderLines, the rest of the answer
// read and dropped. False when the server refuses TOP (it may not offer it at all).
bool Prefetch(LogSink& log, TMyPOP3ServerContext& c, const std::string& number) {
  const std::string reply = Ask(log, c, "TOP " + number + " " + std::to_string(c.MaxLines));
  if (IsErrReply(reply)) {
    log.AddToMemo("   P<-S " + reply);
    return false;
  }
  TMessageAnnotation top;
  if (CollectHeader(c, top)) {
    std::string line;
    while (ReadUpstreamAnswerLine(c, line)) {
    }
  }
  c.HeaderLines = top.Header();
  return true;
}

}  // namespace

TVerdict TQuillboxProxy::JudgeHeader(LogSink& log, TMyPOP3ServerContext& c,
                                     const std::vector<std::string>& header) {
  c.UnfoldedHeader = header;
  UnfoldHeader(c.UnfoldedHeader);
  const auto selected = SelectReceived(c.UnfoldedHeader, c.MatchString, c.SelectFrom, log);
  const auto address = selected ? SenderAddress(*selected) : std::nullopt;
  if (!address)
    return TVerdict();
  return CheckByS25R(log, c.Resolver, ReverseLookupStack ? *ReverseLookupStack : c.Stack,
                     c.DNSServer, S25RRules, *address);
}

void TQuillboxProxy::IdPOP3ServerRETRieve(TIdCommand& command, int messageNumber) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  TSessionLog log = SessionLog(c);
  const std::string number = std::to_string(messageNumber);
  log.AddToMemo("C->P    RETR " + number);

  std::optional<TVerdict> prefetched;
  if (Prefetch(log, c, number))
    prefetched = JudgeHeader(log, c, c.HeaderLines);
  RelayAnnotatedAnswer(command, log, "RETR " + number, prefetched);
}

void TQuillboxProxy::RelayAnnotatedAnswer(TIdCommand& command, LogSink& log,
                                          const std::string& request,
                                          const std::optional<TVerdict>& prefetched) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  const std::string reply = Ask(log, c, request);
  if (IsErrReply(reply)) {
    log.AddToMemo("C<-P    " + reply);
    throw EProxyError(ReplyRest(reply, 5));
  }
  TMessageAnnotation message;
  const bool more = CollectHeader(c, message);
  TVerdict verdict = prefetched.value_or(TVerdict());
  if (!prefetched || message.Header() != c.HeaderLines) {
    if (prefetched)
      log.AddToMemo("   P    The header of " + request + " is not the one TOP gave: judged again");
    try {
      verdict = JudgeHeader(log, c, message.Header());
    } catch (...) {
      // The rest of the message is on its way: the next command must not take it for its reply.
      c.Upstream.Disconnect();
      throw;
    }
  }

  const std::string rest = ReplyRest(reply, 4);
  command.Reply.SetCodeAndText("+OK", rest);
  log.AddToMemo("C<-P    +OK " + rest);

  // The message goes to the client as it arrives instead of after the last line: the two
  // transfers overlap and memory stays bounded whatever the message's size. Once the reply has
  // gone out, a failure can no longer become "-ERR": the command layer then ends the client
  // connection, so the client sees an unfinished answer, never a truncated message ending in ".".
  command.SendReply();
  message.DeliverHeader(AnnotationLines(verdict), command.Response);
  TIdIOHandlerStack& client = command.Context().Connection().IOHandler();
  size_t pending = 0;
  std::string line;
  while (more && ReadUpstreamAnswerLine(c, line)) {
    message.DeliverLine(line);
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
