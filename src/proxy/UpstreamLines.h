#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "pop3/DotStuffing.h"
#include "pop3/IdCmdTCPServer.h"
#include "proxy/AnswerRelay.h"
#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// A login refused by the proxy or a command refused by the real server; the message is what
// the mail client receives after "-ERR".
class EProxyError : public Exception {
 public:
  using Exception::Exception;
};

// The real server sent nothing for as long as the read allowed.
class EUpstreamTimeout : public EProxyError {
 public:
  using EProxyError::EProxyError;
};

// The proxy's context of the connection a command or event belongs to.
TMyPOP3ServerContext& ProxyContext(TIdContext& context);
TMyPOP3ServerContext& ProxyContext(TIdCommand& command);

// "host:port" of the real server, for messages.
std::string UpstreamName(const TMyPOP3ServerContext& context);
// How long a read waits for the real server: the rule file's [Upstream] Timeout.
int UpstreamTimeoutMs(const TMyPOP3ServerContext& context);

// Line exchange with the real server. A write or read that fails leaves the upstream stream at
// an unknown position (half an answer may still be on its way), so the upstream connection is
// closed: the next command then fails cleanly instead of reading the remains of an earlier
// answer as its reply. Every read waits at most UpstreamTimeoutMs (or timeoutMs) for its line,
// then raises EUpstreamTimeout "No answer from host:port within N seconds."; it ends at once
// with EIdWatchedPeerGone when the mail client has gone meanwhile. A send on a connection closed
// so raises EProxyError "The connection to host:port was closed after an earlier failure.".
void SendUpstream(TMyPOP3ServerContext& context, const std::string& line);
// Several lines in one send: commands pipelined to a server that offers PIPELINING.
void SendUpstream(TMyPOP3ServerContext& context, const std::vector<std::string>& lines);
// One status line, a bare CR in it replaced by a blank.
std::string ReadUpstreamReply(TMyPOP3ServerContext& context);
std::string ReadUpstreamReply(TMyPOP3ServerContext& context, int timeoutMs);

// What ReadUpstreamAnswerLine found.
enum class TAnswerLine {
  kLine,     // a line of the answer
  kEnd,      // the terminating "."
  kTooLong,  // a line that does not fit: it stays unread
};

// The next line of a multi-line answer, unstuffed, if it fits into room bytes of memory (its
// bytes and its string), which it then takes from room. A line that does not fit, however long,
// stays unread, and the answer can go on with RelayUpstreamAnswer.
TAnswerLine ReadUpstreamAnswerLine(TMyPOP3ServerContext& context, std::string& line, size_t& room);

// The rest of a multi-line answer, unstuffed, appended to lines; true once the "." has come.
// False as soon as the next line does not fit into keepBytes of memory with those kept: it stays
// unread. On a failure the lines are cleared before the error goes on.
bool ReadUpstreamAnswer(TMyPOP3ServerContext& context, std::vector<std::string>& lines,
                        size_t keepBytes);

// The rest of a multi-line answer, from a line start to the terminating line, passed on to the
// client's writer through a TAnswerRelay (renaming forged field names when asked): no line is
// held, whatever its length, and each wait for more is bounded as a line's is. What follows the
// terminating line stays unread. The caller finishes the writer.
void RelayUpstreamAnswer(TMyPOP3ServerContext& context, bool renameForged,
                         TIdDotTerminatedWriter& to);
// The rest of a multi-line answer read and dropped in the same way. False when it went past its
// limits (TAnswerBudget) without its end: the upstream connection is then closed. What came in
// the last receive counts whole, so up to a receive's size (TIdDotTerminatedWriter::kChunk) more
// may be read.
bool SkipUpstreamAnswer(TMyPOP3ServerContext& context, const TAnswerBudget::TLimits& limits);

// The message count of a STAT reply ("+OK count size"), 0 when it has none; size likewise.
int StatCount(std::string reply, int* size = nullptr);

// Text of the real server's as the mail client gets it: the session's password masked, the first
// keptFields words left as they are (MaskPassword).
std::string ForClient(const TMyPOP3ServerContext& context, std::string_view text,
                      size_t keptFields = 0);

// Replies are told apart only by a leading "-ERR".
bool IsErrReply(std::string_view reply);

// The reply without its first count characters ("+OK " is 4, "-ERR " is 5).
std::string ReplyRest(std::string_view reply, size_t count);

}  // namespace quillbox
