#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "pop3/IdCmdTCPServer.h"
#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// A login refused by the proxy or a command refused by the real server; the message is what
// the mail client receives after "-ERR".
class EProxyError : public Exception {
 public:
  using Exception::Exception;
};

// The proxy's context of the connection a command or event belongs to.
TMyPOP3ServerContext& ProxyContext(TIdContext& context);
TMyPOP3ServerContext& ProxyContext(TIdCommand& command);

// Line exchange with the real server. A write or read that fails leaves the upstream stream at
// an unknown position (half an answer may still be on its way), so the upstream connection is
// closed: the next command then fails cleanly instead of reading the remains of an earlier
// answer as its reply.
void SendUpstream(TMyPOP3ServerContext& context, const std::string& line);
// The reply is one line, a bare CR in it replaced by a blank. timeoutMs -1 waits without limit;
// after a timeout the reply is "" and the IOHandler's ReadLnTimedOut() is true.
std::string ReadUpstreamReply(TMyPOP3ServerContext& context, int timeoutMs = -1);

// The next line of a multi-line answer, unstuffed, whatever its length (mail must never become
// unretrievable because of a long line); false at the terminating ".".
bool ReadUpstreamAnswerLine(TMyPOP3ServerContext& context, std::string& line);

// The rest of a multi-line answer, unstuffed, appended to lines.
void ReadUpstreamAnswer(TMyPOP3ServerContext& context, std::vector<std::string>& lines);

// Replies are told apart only by a leading "-ERR".
bool IsErrReply(std::string_view reply);

// The reply without its first count characters ("+OK " is 4, "-ERR " is 5).
std::string ReplyRest(std::string_view reply, size_t count);

}  // namespace quillbox
