#include "proxy/UpstreamLines.h"

#include <algorithm>

#include "base/SysUtils.h"

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

// The next line from the real server, waiting at most timeoutMs for it.
std::string ReadLineWithin(TMyPOP3ServerContext& context, int timeoutMs, int maxLength) {
  return ClosingOnFailure(context, [&](TIdIOHandlerStack& io) {
    std::string line = io.ReadLine('\n', timeoutMs, maxLength);
    if (io.ReadLnTimedOut()) {
      throw EUpstreamTimeout("No answer from " + UpstreamName(context) + " within " +
                             Seconds(timeoutMs / 1000) + ".");
    }
    return line;
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
  ClosingOnFailure(context, [&](TIdIOHandlerStack& io) { io.WriteLine(line); });
}

std::string ReadUpstreamReply(TMyPOP3ServerContext& context) {
  return ReadUpstreamReply(context, UpstreamTimeoutMs(context));
}

std::string ReadUpstreamReply(TMyPOP3ServerContext& context, int timeoutMs) {
  std::string reply = ReadLineWithin(context, timeoutMs, -1);
  // The status line goes on to the client; a bare CR in it would reach the client as a line end.
  std::replace(reply.begin(), reply.end(), '\r', ' ');
  return reply;
}

bool ReadUpstreamAnswerLine(TMyPOP3ServerContext& context, std::string& line) {
  line =
      ReadLineWithin(context, UpstreamTimeoutMs(context), TIdIOHandlerStack::kUnlimitedLineLength);
  if (line == ".") {
    return false;
  }
  if (line.size() > 1 && line[0] == '.') {
    line.erase(0, 1);
  }
  return true;
}

bool ReadUpstreamAnswer(TMyPOP3ServerContext& context, std::vector<std::string>& lines,
                        size_t keepBytes) {
  std::string line;
  size_t kept = 0;
  try {
    while (ReadUpstreamAnswerLine(context, line)) {
      kept += sizeof line + line.size();
      lines.push_back(std::move(line));
      if (kept > keepBytes) {
        return false;
      }
    }
    return true;
  } catch (...) {
    // The lines of a broken answer must not follow the "-ERR" that reports it: the client
    // would take them for the answers to its next commands.
    lines.clear();
    throw;
  }
}

bool IsErrReply(std::string_view reply) {
  return reply.starts_with("-ERR");
}

std::string ReplyRest(std::string_view reply, size_t count) {
  return reply.size() > count ? std::string(reply.substr(count)) : std::string();
}

}  // namespace quillbox
