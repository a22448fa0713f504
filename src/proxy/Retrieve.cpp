// RETR: pre-fetch the header and judge the sender named in the selected Received: line, then
// relay the whole message with the verdict added as four header lines where the header ends. The
// verdict belongs to the message delivered: the retrieval's own header is read before anything
// goes to the client, and judged again when it is not the header the pre-fetch gave. A TOP answer
// goes the same way, judged on its own header. A header too long to hold is not judged: its
// message goes out whole with the four lines first. The pre-fetch may have come earlier, from the
// look-ahead, which fetches the next headers while the client reads so that their lookups, slow
// at a real DNS server, overlap with the mail instead of adding to it.
#include "proxy/MessageHeader.h"
#include "proxy/Quillbox_Main.h"
#include "proxy/SessionLog.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

// Memory a message's header may take while it is held for the verdict, the pre-fetched one and
// the retrieved one each.
constexpr size_t kHeaderBytes = 1024 * 1024;
constexpr const char* kHeaderBytesText = "1 MiB";

// Sends command upstream and reads its reply.
std::string Ask(LogSink& log, TMyPOP3ServerContext& c, const std::string& command) {
  SendUpstream(c, command);
  log.AddToMemo("   P->S " + command);
  return ReadUpstreamReply(c);
}

// How the collection of a header ended.
enum class THeaderRead {
  kEnded,        // by a line that is no header line (collected with it); the answer goes on
  kAnswerEnded,  // the answer ended first
  kTooLong,      // the next line would take the header over kHeaderBytes: it stays unread
};

// Reads an answer's lines into message until its header has ended.
THeaderRead CollectHeader(TMyPOP3ServerContext& c, TMessageAnnotation& message) {
  std::string line;
  size_t room = kHeaderBytes;
  for (;;) {
    switch (ReadUpstreamAnswerLine(c, line, room)) {
      case TAnswerLine::kLine:
        if (!message.CollectHeader(std::move(line)))
          return THeaderRead::kEnded;
        break;
      case TAnswerLine::kEnd:
        return THeaderRead::kAnswerEnded;
      case TAnswerLine::kTooLong:
        return THeaderRead::kTooLong;
    }
  }
}

// The header of an answer whose status line has been read, and the rest of the answer read and
// dropped; none when the header is too long to hold.
std::optional<std::vector<std::string>> ReadHeaderOnly(TMyPOP3ServerContext& c) {
  TMessageAnnotation top;
  const THeaderRead read = CollectHeader(c, top);
  if (read != THeaderRead::kAnswerEnded)
    SkipUpstreamAnswer(c);
  if (read == THeaderRead::kTooLong)
    return std::nullopt;
  return top.Header();
}

std::string TopCommand(const TMyPOP3ServerContext& c, int number) {
  return "TOP " + std::to_string(number) + " " + std::to_string(c.MaxLines);
}

// The reply, then the retrieved message with the verdict's lines, passed on as it arrives
// instead of after its last line: the two transfers overlap and memory stays bounded whatever the
// message's size or the length of its lines. Once the reply has gone out, a failure can no longer
// become "-ERR": the command layer then ends the client connection, so the client sees an
// unfinished answer, never a truncated message ending in ".".
void Deliver(TIdCommand& command, TMyPOP3ServerContext& c, TMessageAnnotation& message,
             THeaderRead read, const TVerdict& verdict) {
  command.SendReply();
  std::vector<std::string> head;
  if (read == THeaderRead::kTooLong)
    message.DeliverUnendedHeader(AnnotationLines(verdict), head);
  else
    message.DeliverHeader(AnnotationLines(verdict), head);
  TIdDotTerminatedWriter writer(command.Context().Connection().IOHandler());
  writer.AddLines(head);
  std::vector<std::string>().swap(head);
  if (read != THeaderRead::kAnswerEnded)
    RelayUpstreamAnswer(c, message.BeforeEmptyLine(), writer);
  writer.Finish();
}

}  // namespace

// The pre-fetch of the message being retrieved: its header by TOP, its sender's judgment started.
// None when the server refuses TOP (it may not offer it at all) or the header is too long to hold.
std::optional<TPrefetched> TQuillboxProxy::Prefetch(LogSink& log, TMyPOP3ServerContext& c,
                                                    int number) {
  const std::string reply = Ask(log, c, TopCommand(c, number));
  if (IsErrReply(reply)) {
    log.AddToMemo("   P<-S " + reply);
    return std::nullopt;
  }
  const auto header = ReadHeaderOnly(c);
  if (!header)
    return std::nullopt;
  return StartJudgment(c, *header, true);
}

bool TQuillboxProxy::LookAheadStep(TMyPOP3ServerContext& c) {
  TLookAhead& ahead = c.LookAhead;
  TSessionLog log = SessionLog(c);
  try {
    if (ahead.NeedsCount()) {
      const std::string reply = Ask(log, c, "STAT");
      log.AddToMemo("   P<-S " + reply);
      if (IsErrReply(reply))
        ahead.Stop();
      else
        ahead.Known(StatCount(reply) + ahead.DeletedCount());
      return true;
    }
    const std::vector<int> numbers = ahead.Next();
    std::vector<std::string> commands;
    for (const int n : numbers) {
      commands.push_back(TopCommand(c, n));
      log.AddToMemo("   P->S " + commands.back());
    }
    if (commands.empty())
      return false;
    SendUpstream(c, commands);
    for (const int n : numbers) {
      const std::string reply = ReadUpstreamReply(c);
      if (IsErrReply(reply)) {
        // No TOP, or no such message any more: the messages are judged when retrieved.
        log.AddToMemo("   P<-S " + reply);
        ahead.Stop();
        continue;
      }
      const auto header = ReadHeaderOnly(c);
      try {
        if (header)
          ahead.Fetched(n, StartJudgment(c, *header, false));
      } catch (const Exception&) {
        // A match string the matcher rejects fails the retrieval itself, in its place.
      }
    }
    return true;
  } catch (const Exception& e) {
    ahead.Stop();
    log.AddToMemo("   P    The look-ahead stopped: " + e.Message());
    return false;
  }
}

void TQuillboxProxy::IdPOP3ServerRETRieve(TIdCommand& command, int messageNumber) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  TSessionLog log = SessionLog(c);
  log.AddToMemo("C->P    RETR " + std::to_string(messageNumber));
  std::optional<TPrefetched> prefetched = c.LookAhead.Take(messageNumber);
  c.LookAhead.Retrieved(messageNumber);
  if (!prefetched)
    prefetched = Prefetch(log, c, messageNumber);
  RelayAnnotatedAnswer(command, log, "RETR " + std::to_string(messageNumber), prefetched);
}

void TQuillboxProxy::RelayAnnotatedAnswer(TIdCommand& command, LogSink& log,
                                          const std::string& request,
                                          const std::optional<TPrefetched>& prefetched) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  std::optional<TVerdict> verdictAhead;
  if (prefetched)
    verdictAhead = VerdictOf(log, c, *prefetched, true);
  const std::string reply = Ask(log, c, request);
  if (IsErrReply(reply)) {
    log.AddToMemo("C<-P    " + reply);
    throw EProxyError(ForClient(c, ReplyRest(reply, 5)));
  }
  TMessageAnnotation message;
  const THeaderRead read = CollectHeader(c, message);
  TVerdict verdict = verdictAhead.value_or(TVerdict());
  if (read == THeaderRead::kTooLong) {
    // Not all of it can be looked at, so no sender in it can be vouched for.
    log.AddToMemo("   P    The header of " + request + " is longer than " + kHeaderBytesText +
                  ": the sender is not judged");
    verdict = TVerdict();
  } else if (!prefetched || HeaderDigest(message.Header()) != prefetched->Digest) {
    if (prefetched)
      log.AddToMemo("   P    The header of " + request + " is not the one TOP gave: judged again");
    try {
      verdict = VerdictOf(log, c, StartJudgment(c, message.Header(), true), false);
    } catch (...) {
      // The rest of the message is on its way: the next command must not take it for its reply.
      c.Upstream.Disconnect();
      throw;
    }
  }

  const std::string rest = ForClient(c, ReplyRest(reply, 4));
  command.Reply.SetCodeAndText("+OK", rest);
  log.AddToMemo("C<-P    +OK " + rest);
  Deliver(command, c, message, read, verdict);
}

}  // namespace quillbox
