// RETR: pre-fetch the header and judge the sender named in the selected Received: line, then
// relay the whole message with the verdict added as four header lines where the header ends. The
// verdict belongs to the message delivered: the retrieval's own header is read before anything
// goes to the client, and judged again when it is not the header the pre-fetch gave. A TOP answer
// goes the same way, judged on its own header. A header too long to hold is not judged: its
// message goes out whole with the four lines first. The pre-fetch may have come earlier, from the
// look-ahead, which fetches the next headers while the client reads so that their lookups, slow
// at a real DNS server, overlap with the mail instead of adding to it.
#include <algorithm>

#include "base/SysUtils.h"
#include "proxy/HistoryRecord.h"
#include "proxy/MessageAnnotation.h"
#include "proxy/Quillbox_Main.h"
#include "proxy/SessionLog.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

// Memory a message's header may take while it is held for the verdict, the pre-fetched one and
// the retrieved one each.
constexpr size_t kHeaderBytes = 1024 * 1024;
constexpr const char* kHeaderBytesText = "1 MiB";
// What a TOP of Quillbox's own may bring after the header: the body lines it asked for, each up
// to kHeaderBytes (unwrapped HTML, base64 without line breaks), and kTopSpareBytes more (a server
// that counts lines otherwise). An answer that goes on past that is taken for one that never
// ends, as a dropped connection would be: the client's command must not wait on it.
constexpr size_t kTopSpareBytes = 64 * 1024;

// Sends command upstream and reads its reply.
std::string Ask(LogSink& log, TMyPOP3ServerContext& c, const std::string& command) {
  SendUpstream(c, command);
  log.AddToMemo("   P->S " + command);
  return ReadUpstreamReply(c);
}

// How the collection of a header ended.
enum class THeaderRead {
  kEnded,        // by a line that is no header line (collected with it); the answer goes on
  kEmptyLine,    // the same, by the empty line that begins the body
  kAnswerEnded,  // the answer ended first
  kTooLong,      // the next line would take the header over kHeaderBytes: it stays unread
};

// Reads an answer's lines into message until its header has ended, within room bytes.
THeaderRead CollectHeader(TMyPOP3ServerContext& c, TMessageAnnotation& message, size_t& room) {
  std::string line;
  for (;;) {
    switch (ReadUpstreamAnswerLine(c, line, room)) {
      case TAnswerLine::kLine:
        if (const bool empty = line.empty(); !message.CollectHeader(std::move(line)))
          return empty ? THeaderRead::kEmptyLine : THeaderRead::kEnded;
        break;
      case TAnswerLine::kEnd:
        return THeaderRead::kAnswerEnded;
      case TAnswerLine::kTooLong:
        return THeaderRead::kTooLong;
    }
  }
}

int TopLines(const TMyPOP3ServerContext& c) {
  return std::max(c.MaxLines, 0);
}

std::string TopCommand(const TMyPOP3ServerContext& c, int number) {
  return "TOP " + std::to_string(number) + " " + std::to_string(c.MaxLines);
}

// The header of the answer to a TOP of Quillbox's own whose status line has been read, and the
// rest of the answer read and dropped; none when the header is too long to hold. An answer that
// goes on past kHeaderBytes, the lines asked for and kTopSpareBytes closes the upstream
// connection and raises EProxyError.
std::optional<std::vector<std::string>> ReadHeaderOnly(TMyPOP3ServerContext& c, int number) {
  TMessageAnnotation top;
  size_t room = kHeaderBytes;
  const THeaderRead read = CollectHeader(c, top, room);
  const TAnswerBudget::TLimits rest = {.InHeader = read != THeaderRead::kEmptyLine,
                                       .HeaderBytes = room,
                                       .Lines = static_cast<size_t>(TopLines(c)),
                                       .LineBytes = kHeaderBytes,
                                       .Spare = kTopSpareBytes};
  if (read != THeaderRead::kAnswerEnded && !SkipUpstreamAnswer(c, rest)) {
    throw EProxyError("Quillbox sent " + Quoted(TopCommand(c, number)) +
                      " but the answer from the actual POP3 server did not end within a "
                      "header of 1 MiB, " +
                      std::to_string(TopLines(c)) + " lines and 64 KiB.");
  }
  if (read == THeaderRead::kTooLong)
    return std::nullopt;
  return top.Header();
}

// The reply, then the retrieved message with the verdict's lines, passed on as it arrives
// instead of after its last line: the two transfers overlap and memory stays bounded whatever the
// message's size or the length of its lines. Once the reply has gone out, a failure can no longer
// become "-ERR": the command layer then ends the client connection, so the client sees an
// unfinished answer, never a truncated message ending in ".". Gives the message's bytes, stuffed.
uint64_t Deliver(TIdCommand& command, TMyPOP3ServerContext& c, TMessageAnnotation& message,
                 THeaderRead read, const TVerdict& verdict) {
  std::vector<std::string> head;
  if (read == THeaderRead::kTooLong)
    message.DeliverUnendedHeader(AnnotationLines(verdict), head);
  else
    message.DeliverHeader(AnnotationLines(verdict), head);
  // The reply, the header and what has come of the body leave in one send.
  TIdDotTerminatedWriter writer(command.Context().Connection().IOHandler());
  command.SendReply(writer);
  const uint64_t reply = writer.Bytes();
  writer.AddLines(head);
  std::vector<std::string>().swap(head);
  if (read != THeaderRead::kAnswerEnded)
    RelayUpstreamAnswer(c, message.BeforeEmptyLine(), writer);
  const uint64_t bytes = writer.Bytes() - reply;
  writer.Finish();
  return bytes;
}

}  // namespace

// The pre-fetch of the message being retrieved: its header by TOP, its sender's judgment started.
// None when the server refuses TOP (it may not offer it at all) or the header is too long to hold.
std::optional<THeaderJudgment> TQuillboxProxy::Prefetch(LogSink& log, TMyPOP3ServerContext& c,
                                                        int number) {
  const std::string reply = Ask(log, c, TopCommand(c, number));
  if (IsErrReply(reply)) {
    log.AddToMemo("   P<-S " + reply);
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> header;
  try {
    header = ReadHeaderOnly(c, number);
  } catch (const EProxyError& e) {
    log.AddToMemo("C<-P    -ERR " + e.Message());
    throw;
  }
  if (!header)
    return std::nullopt;
  return StartJudgment(c, *header, TJudgmentUrgency::kWaiting);
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
      const auto header = ReadHeaderOnly(c, n);
      try {
        if (header)
          ahead.Fetched(n, StartJudgment(c, *header, TJudgmentUrgency::kAhead));
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
  std::optional<THeaderJudgment> prefetched = c.LookAhead.Take(messageNumber);
  c.LookAhead.Retrieved(messageNumber);
  if (!prefetched)
    prefetched = Prefetch(log, c, messageNumber);
  RelayAnnotatedAnswer(command, log, "RETR " + std::to_string(messageNumber), prefetched);
}

void TQuillboxProxy::RelayAnnotatedAnswer(TIdCommand& command, LogSink& log,
                                          const std::string& request,
                                          const std::optional<THeaderJudgment>& prefetched) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  std::optional<TVerdict> verdictAhead;
  if (prefetched)
    verdictAhead = AwaitVerdict(log, c, *prefetched, true);
  const std::string reply = Ask(log, c, request);
  if (IsErrReply(reply)) {
    log.AddToMemo("C<-P    " + reply);
    throw EProxyError(ForClient(c, ReplyRest(reply, 5)));
  }
  TMessageAnnotation message;
  size_t room = kHeaderBytes;
  const THeaderRead read = CollectHeader(c, message, room);
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
      verdict = AwaitVerdict(log, c, StartJudgment(c, message.Header(), TJudgmentUrgency::kWaiting),
                             false);
    } catch (...) {
      // The rest of the message is on its way: the next command must not take it for its reply.
      c.Upstream.Disconnect();
      throw;
    }
  }

  const std::string rest = ForClient(c, ReplyRest(reply, 4));
  command.Reply.SetCodeAndText("+OK", rest);
  log.AddToMemo("C<-P    +OK " + rest);
  // Delivery hands the header on: its fields are taken first.
  std::optional<THistoryRow> row;
  if (History)
    row = HistoryRowOf(c.UpstreamUser + "@" + c.UpstreamHost + ":" + std::to_string(c.UpstreamPort),
                       request, message.Header(), verdict);
  const uint64_t size = Deliver(command, c, message, read, verdict);
  if (row) {
    row->Size = static_cast<int64_t>(size);
    History->Record(std::move(*row));
  }
}

}  // namespace quillbox
