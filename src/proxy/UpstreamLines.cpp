#include "proxy/UpstreamLines.h"

#include <algorithm>
#include <climits>
#include <functional>

#include "base/SysUtils.h"
#include "net/IdException.h"
#include "proxy/CutToken.h"
#include "proxy/SessionLog.h"

namespace quillbox {
namespace {

// Runs one exchange step on the upstream connection and closes that connection if it fails.
template <class Step>
auto ClosingOnFailure(TMyPOP3ServerContext& context, Step step) {
  try {
    return step(context.Upstream.IOHandler());
  } catch (...) {
    context.Upstream.Disconnect();
    throw;
  }
}

// An upstream connection that an earlier failure closed (an answer that broke off or was given
// up) cannot carry another command; the client learns why rather than a socket's word for it.
void RequireOpen(TMyPOP3ServerContext& context) {
  if (context.Upstream.HasIOHandler() && !context.Upstream.IOHandler().Opened()) {
    throw EProxyError("The connection to " + UpstreamName(context) +
                      " was closed after an earlier failure.");
  }
}

EUpstreamTimeout NoAnswer(const TMyPOP3ServerContext& context, int timeoutMs) {
  return EUpstreamTimeout("No answer from " + UpstreamName(context) + " within " +
                          Seconds(timeoutMs / 1000) + ".");
}

// The next line from the real server into line, waiting at most timeoutMs for it. A line over
// maxLength raises EIdReadLnMaxLineLengthExceeded, or when leaveTooLong stays unread: false.
bool ReadLineWithin(TMyPOP3ServerContext& context, std::string& line, int timeoutMs, int maxLength,
                    bool leaveTooLong) {
  return ClosingOnFailure(context, [&](TIdIOHandlerStack& io) {
    try {
      io.ReadLineInto(line, '\n', timeoutMs, maxLength);
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
      if (!leaveTooLong)
        throw;
      return false;
    }
    if (io.ReadLnTimedOut())
      throw NoAnswer(context, timeoutMs);
    return true;
  });
}

// The rest of a multi-line answer through relay to out; false, with the upstream connection
// closed, once out has set overrun before its end. beforeReceive(wouldWait, first) runs before
// each receive: whether nothing more has come yet, and whether it is the first.
using TBeforeReceive = std::function<void(bool wouldWait, bool first)>;
bool PassUpstreamAnswer(TMyPOP3ServerContext& context, TAnswerRelay& relay,
                        const TAnswerRelay::TSink& out, const bool& overrun,
                        const TBeforeReceive& beforeReceive) {
  const int timeoutMs = UpstreamTimeoutMs(context);
  return ClosingOnFailure(context, [&](TIdIOHandlerStack& io) {
    bool first = true;
    for (;;) {
      const size_t taken = relay.Take(io.InputBuffer(), out);
      io.DiscardInput(taken);
      if (relay.Done())
        return true;
      if (overrun) {
        io.Close();
        return false;
      }
      if (beforeReceive) {
        beforeReceive(io.SocketOpen() && !io.Socket()->WaitReadable(0), first);
        first = false;
      }
      const int received = io.ReadFromSource(true, timeoutMs, false);
      if (received < 0)
        throw NoAnswer(context, timeoutMs);
      if (received == 0)
        throw EIdConnClosedGracefully();
    }
  });
}

}  // namespace

TMyPOP3ServerContext& ProxyContext(TIdContext& context) {
  return dynamic_cast<TMyPOP3ServerContext&>(context);
}

TMyPOP3ServerContext& ProxyContext(TIdCommand& command) {
  return ProxyContext(command.Context());
}

std::string UpstreamName(const TMyPOP3ServerContext& context) {
  return context.UpstreamHost + ":" + std::to_string(context.UpstreamPort);
}

int UpstreamTimeoutMs(const TMyPOP3ServerContext& context) {
  return context.UpstreamSecurity.TimeoutSeconds * 1000;
}

void SendUpstream(TMyPOP3ServerContext& context, const std::string& line) {
  RequireOpen(context);
  ClosingOnFailure(context, [&](TIdIOHandlerStack& io) { io.WriteLine(line); });
}

void SendUpstream(TMyPOP3ServerContext& context, const std::vector<std::string>& lines) {
  RequireOpen(context);
  ClosingOnFailure(context, [&](TIdIOHandlerStack& io) { io.WriteLines(lines); });
}

int StatCount(std::string reply, int* size) {
  CutToken(reply, ' ');
  const int count = StrToIntDef(CutToken(reply, ' '), 0);
  if (size != nullptr)
    *size = StrToIntDef(CutToken(reply, ' '), 0);
  return count;
}

std::string ReadUpstreamReply(TMyPOP3ServerContext& context) {
  return ReadUpstreamReply(context, UpstreamTimeoutMs(context));
}

std::string ReadUpstreamReply(TMyPOP3ServerContext& context, int timeoutMs) {
  std::string reply;
  ReadLineWithin(context, reply, timeoutMs, -1, false);
  // The status line goes on to the client; a bare CR in it would reach the client as a line end.
  std::replace(reply.begin(), reply.end(), '\r', ' ');
  return reply;
}

TAnswerLine ReadUpstreamAnswerLine(TMyPOP3ServerContext& context, std::string& line, size_t& room) {
  // The reader counts a line's CR in its length, and takes 0 for no limit.
  const size_t overhead = sizeof line + 1;
  if (room <= overhead)
    return TAnswerLine::kTooLong;
  const size_t maxLength = std::min<size_t>(room - overhead, INT_MAX);
  if (!ReadLineWithin(context, line, UpstreamTimeoutMs(context), static_cast<int>(maxLength),
                      true)) {
    return TAnswerLine::kTooLong;
  }
  if (!UnstuffLine(line))
    return TAnswerLine::kEnd;
  room -= std::min(room, sizeof line + line.size());
  return TAnswerLine::kLine;
}

bool ReadUpstreamAnswer(TMyPOP3ServerContext& context, std::vector<std::string>& lines,
                        size_t keepBytes) {
  std::string line;
  try {
    for (;;) {
      switch (ReadUpstreamAnswerLine(context, line, keepBytes)) {
        case TAnswerLine::kLine:
          lines.push_back(std::move(line));
          break;
        case TAnswerLine::kEnd:
          return true;
        case TAnswerLine::kTooLong:
          return false;
      }
    }
  } catch (...) {
    // The lines of a broken answer must not follow the "-ERR" that reports it: the client
    // would take them for the answers to its next commands.
    lines.clear();
    throw;
  }
}

void RelayUpstreamAnswer(TMyPOP3ServerContext& context, bool renameForged,
                         TIdDotTerminatedWriter& to) {
  TAnswerRelay relay(renameForged);
  const bool never = false;
  // What has collected goes out before the first receive, so that the reply that may be waiting
  // in the writer leaves before anything can fail, and whenever the real server has sent nothing
  // more yet: a client that reads in small parts (a line reader on 8 KiB receives) would
  // otherwise wait for a whole chunk and then block on its next receive, again and again.
  PassUpstreamAnswer(
      context, relay, [&to](std::string_view part) { to.AddStuffed(part); }, never,
      [&to](bool wouldWait, bool first) {
        if (wouldWait || first)
          to.Flush();
      });
}

bool SkipUpstreamAnswer(TMyPOP3ServerContext& context, const TAnswerBudget::TLimits& limits) {
  TAnswerRelay relay(false);
  TAnswerBudget budget(limits);
  bool overrun = false;
  return PassUpstreamAnswer(
      context, relay, [&](std::string_view part) { overrun = !budget.Take(part); }, overrun, {});
}

std::string ForClient(const TMyPOP3ServerContext& context, std::string_view text,
                      size_t keptFields) {
  return MaskPassword(text, context.UpstreamPassword, keptFields);
}

bool IsErrReply(std::string_view reply) {
  return reply.starts_with("-ERR");
}

std::string ReplyRest(std::string_view reply, size_t count) {
  return reply.size() > count ? std::string(reply.substr(count)) : std::string();
}

}  // namespace quillbox
