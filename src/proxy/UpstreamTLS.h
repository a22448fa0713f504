#pragma once

#include <string>

#include "base/LogSink.h"
#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

// The steps the login adds for TLS to the real server, in the order the login calls them. Each
// does nothing for a plain connection (Security None), so a plain login sends and logs exactly
// what it did without them. A failure logs "C<-P    -ERR " and the message, closes the
// upstream connection (nothing more goes out, in clear or otherwise) and raises EProxyError.

// Refuses a rule file whose Security, VerifyCertificate or Timeout value makes no sense.
void CheckUpstreamSecurity(LogSink& log, TMyPOP3ServerContext& context);

// POP3S: right after the TCP connect, before the greeting.
void StartUpstreamTLSIfImplicit(LogSink& log, TMyPOP3ServerContext& context);

// The real server's greeting. Within the rule file's Timeout; when the rule file names Security
// or TLS is on, within kUpstreamGreetingTimeoutMs at most, so that a plain login to a port that
// expects TLS is refused with advice soon. The TLS handshake and the answer to STLS have the
// same limits.
std::string ReadUpstreamGreeting(LogSink& log, TMyPOP3ServerContext& context);

// STARTTLS: after the greeting, STLS and then TLS, before USER and PASS.
void NegotiateUpstreamSTLS(LogSink& log, TMyPOP3ServerContext& context);

inline constexpr int kUpstreamGreetingTimeoutMs = 15000;
inline constexpr int kUpstreamHandshakeTimeoutMs = 15000;

}  // namespace quillbox
