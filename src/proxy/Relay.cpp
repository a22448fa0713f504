// The relays: each client command becomes one exchange with the real server, whose answer goes
// back to the client as the command's reply and response lines.
#include <algorithm>
#include <optional>

#include "base/SysUtils.h"
#include "proxy/CutToken.h"
#include "proxy/Quillbox_Main.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

// Memory a listing (LIST, UIDL, TOP) may take while it is kept for a clean "-ERR"; also what
// one line of a LIST or UIDL listing may take, as each is masked whole.
constexpr size_t kKeptAnswerBytes = 1024 * 1024;
// The words of a LIST or UIDL line that the client reads as data: the message number and its
// size or unique-id.
constexpr size_t kListingFields = 2;

// Passes the client's command upstream and reads the reply line, logging all three.
std::string Exchange(LogSink& log, TMyPOP3ServerContext& c, const std::string& upstreamCommand,
                     const char* replyPrefix) {
  log.AddToMemo("C->P    " + upstreamCommand);
  SendUpstream(c, upstreamCommand);
  log.AddToMemo("   P->S " + upstreamCommand);
  std::string reply = ReadUpstreamReply(c);
  log.AddToMemo(replyPrefix + reply);
  return reply;
}

// Exchange, then the reply is either raised (a "-ERR") or made the client's "+OK" reply, with
// the password masked after the first keptFields words of a "+OK". Returns the reply as received.
std::string Relay(LogSink& log, TIdCommand& command, const std::string& upstreamCommand,
                  const char* replyPrefix, size_t keptFields = 0) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  const std::string reply = Exchange(log, c, upstreamCommand, replyPrefix);
  log.AddToMemo("C<-P    " + reply);
  if (IsErrReply(reply)) {
    throw EProxyError(ForClient(c, ReplyRest(reply, 5)));
  }
  command.Reply.SetCodeAndText("+OK", ForClient(c, ReplyRest(reply, 4), keptFields));
  return reply;
}

// The rest of a listing too long to keep, passed on line by line as it arrives, each masked. A
// line over kKeptAnswerBytes is none a listing has: the command layer then ends the client
// connection.
void RelayListingLines(LogSink& log, TMyPOP3ServerContext& c, TIdDotTerminatedWriter& writer) {
  std::string line;
  std::vector<std::string> masked(1);
  for (;;) {
    size_t room = kKeptAnswerBytes;
    switch (ReadUpstreamAnswerLine(c, line, room)) {
      case TAnswerLine::kLine:
        masked[0] = ForClient(c, line, kListingFields);
        writer.AddLines(masked);
        break;
      case TAnswerLine::kEnd:
        return;
      case TAnswerLine::kTooLong: {
        const std::string why = "A line of the listing from " + UpstreamName(c) +
                                " is longer than 1 MiB: the listing is cut off.";
        log.AddToMemo("   P    " + why);
        throw EProxyError(why);
      }
    }
  }
}

// The lines of a multi-line answer become the response; the terminating "." goes out even when
// there are none. They are kept until the answer is complete, so that an answer that breaks off
// becomes a clean "-ERR" instead of a listing the client would take for whole. An answer too
// long to keep (a hostile or broken server may never end one) goes out as it arrives instead; if
// it breaks off then, the command layer ends the client connection, which tells the client as
// plainly. The lines of a listing (LIST, UIDL) go out with the password masked; those of a TOP are
// a message's and go out as they came.
void RelayAnswerLines(LogSink& log, TIdCommand& command, bool listing) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  const bool whole = ReadUpstreamAnswer(c, command.Response, kKeptAnswerBytes);
  if (listing) {
    for (std::string& line : command.Response)
      line = ForClient(c, line, kListingFields);
  }
  if (whole) {
    command.AlwaysSendResponse = true;
    return;
  }
  command.SendReply();
  TIdDotTerminatedWriter writer(command.Context().Connection().IOHandler());
  writer.AddLines(command.Response);
  std::vector<std::string>().swap(command.Response);
  if (listing)
    RelayListingLines(log, c, writer);
  else
    RelayUpstreamAnswer(c, false, writer);
  writer.Finish();
}

// QUIT at the real server: none when it answered "+OK", else what the client is told.
std::optional<std::string> QuitUpstream(LogSink& log, TMyPOP3ServerContext& c) {
  static const std::string kMayRemain = " Messages marked for deletion may not have been deleted.";
  // IsConnected alone also counts bytes left unread in an upstream connection that an earlier
  // failure closed.
  if (!c.Upstream.IsConnected() || !c.Upstream.IOHandler().Opened())
    return "The connection to " + UpstreamName(c) + " was closed before QUIT." + kMayRemain;
  std::string reply;
  try {
    SendUpstream(c, "QUIT");
    log.AddToMemo("   P->S QUIT");
    reply = ReadUpstreamReply(c);
  } catch (const Exception& e) {
    return e.Message() + kMayRemain;
  }
  log.AddToMemo("   P<-S " + reply);
  if (!IsErrReply(reply))
    return std::nullopt;
  const std::string text = ForClient(c, ReplyRest(reply, 5));
  return text.empty() ? "The actual POP3 server refused QUIT." + kMayRemain : text;
}

std::string WithNumber(const std::string& verb, int messageNumber) {
  return messageNumber >= 0 ? verb + " " + std::to_string(messageNumber) : verb;
}

}  // namespace

void TQuillboxProxy::RelayListing(TIdCommand& command, const std::string& verb, int messageNumber,
                                  const char* replyPrefix) {
  TSessionLog log = SessionLog(ProxyContext(command));
  Relay(log, command, WithNumber(verb, messageNumber), replyPrefix,
        messageNumber < 0 ? 0 : kListingFields);
  if (messageNumber < 0) {
    RelayAnswerLines(log, command, true);
  }
}

void TQuillboxProxy::IdPOP3ServerLIST(TIdCommand& command, int messageNumber) {
  RelayListing(command, "LIST", messageNumber, "   C<-S ");
  // A listing kept whole tells the look-ahead which messages there are.
  if (messageNumber < 0 && !command.Response.empty()) {
    int last = 0;
    for (const std::string& line : command.Response)
      last = std::max(last, StrToIntDef(line.substr(0, line.find(' ')), 0));
    ProxyContext(command).LookAhead.Known(last);
  }
}

void TQuillboxProxy::IdPOP3ServerUIDL(TIdCommand& command, int messageNumber) {
  RelayListing(command, "UIDL", messageNumber, "   P<-S ");
}

// A client may retrieve whole messages with TOP (fetchmail does, unless told "fetchall"), so its
// answers carry the verdict too, unless the rule file says AnnotateTop=0.
void TQuillboxProxy::IdPOP3ServerTOP(TIdCommand& command, int messageNumber, int lines) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  TSessionLog log = SessionLog(c);
  const std::string request = "TOP " + std::to_string(messageNumber) + " " + std::to_string(lines);
  if (c.AnnotateTop) {
    log.AddToMemo("C->P    " + request);
    const std::optional<THeaderJudgment> prefetched = c.LookAhead.Take(messageNumber);
    c.LookAhead.Retrieved(messageNumber);
    RelayAnnotatedAnswer(command, log, request, prefetched);
    return;
  }
  Relay(log, command, request, "   P<-S ");
  RelayAnswerLines(log, command, false);
}

void TQuillboxProxy::IdPOP3ServerDELEte(TIdCommand& command, int messageNumber) {
  TSessionLog log = SessionLog(ProxyContext(command));
  Relay(log, command, "DELE " + std::to_string(messageNumber), "   P<-S ");
  ProxyContext(command).LookAhead.Deleted(messageNumber);
}

// A refused RSET is passed on as refused: a client told "+OK" would believe its DELEs undone,
// and the real server would remove those messages at QUIT.
void TQuillboxProxy::IdPOP3ServerReSET(TIdCommand& command) {
  TSessionLog log = SessionLog(ProxyContext(command));
  Relay(log, command, "RSET", "   P<-S ");
  ProxyContext(command).LookAhead.Reset();
}

void TQuillboxProxy::IdPOP3ServerSTAT(TIdCommand& command, int& count, int& size) {
  TMyPOP3ServerContext& c = ProxyContext(command);
  TSessionLog log = SessionLog(c);
  const std::string reply = Exchange(log, c, "STAT", "   P<-S ");
  if (IsErrReply(reply)) {
    log.AddToMemo("C<-P    " + reply);
    throw EProxyError(ForClient(c, ReplyRest(reply, 5)));
  }
  // The reply the client gets is made of the two numbers alone: nothing of the server's text.
  count = StatCount(reply, &size);
  c.LookAhead.Known(count + c.LookAhead.DeletedCount());
  log.AddToMemo("C<-P    +OK " + std::to_string(count) + " " + std::to_string(size));
}

void TQuillboxProxy::IdPOP3ServerQUIT(TIdCommand& command) {
  static const std::string kGoodBye = "Good-bye from the Quillbox";
  TMyPOP3ServerContext& c = ProxyContext(command);
  TSessionLog log = SessionLog(c);
  log.AddToMemo("C->P    QUIT");
  // Only the real server's answer tells whether the client's DELEs took effect.
  if (const auto refusal = c.LoggedIn ? QuitUpstream(log, c) : std::nullopt) {
    command.Reply.SetCodeAndText("-ERR", *refusal);
    log.AddToMemo("C<-P    -ERR " + *refusal);
    return;
  }
  command.Reply.SetCodeAndText("+OK", kGoodBye);
  log.AddToMemo("C<-P    +OK " + kGoodBye);
}

void TQuillboxProxy::IdPOP3ServerCAPA(TIdContext& context, std::vector<std::string>& capabilities) {
  TMyPOP3ServerContext& c = ProxyContext(context);
  TSessionLog log = SessionLog(c);
  log.AddToMemo("C->P    CAPA");
  log.AddToMemo("C<-P    Response of CAPA command");
  for (const std::string& line : c.UpstreamCapabilities) {
    // The real server's STLS concerns Quillbox's link to it, not the client's.
    bool known = SameText(line, "STLS");
    for (const std::string& have : capabilities) {
      known = known || SameText(have, line);
    }
    if (!known) {
      capabilities.push_back(ForClient(c, line));
    }
  }
}

}  // namespace quillbox
