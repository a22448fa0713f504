#include "proxy/UpstreamTLS.h"

#include <algorithm>

#include "base/SysUtils.h"
#include "net/IdSSLOpenSSL.h"
#include "proxy/UpstreamLines.h"

namespace quillbox {
namespace {

constexpr const char* kRefusal = "C<-P    -ERR ";
constexpr const char* kInSection = " in section [Upstream] of the rule file";

[[noreturn]] void RefuseTLSLogin(LogSink& log, TMyPOP3ServerContext& context,
                                 const std::string& message) {
  context.Upstream.Disconnect();
  log.AddToMemo(kRefusal + message);
  throw EProxyError(message);
}

// What the user can do about a failed handshake.
std::string Advice(EIdTLSError::TReason reason) {
  switch (reason) {
    case EIdTLSError::trNotTLS:
      return " The server does not speak TLS from the first byte on this port; POP3S is usually "
             "port 995, and port 110 needs Security=STARTTLS" +
             std::string(kInSection) + ".";
    case EIdTLSError::trCertificateUntrusted:
      return " If you trust this server, save its certificate or its authority's as a PEM file "
             "and name that file with CAFile=" +
             std::string(kInSection) + ".";
    case EIdTLSError::trCertificateName:
      return " Name the server in the login name as its certificate does.";
    case EIdTLSError::trCertificateExpired:
      return " The server's certificate must be renewed, or this computer's clock is wrong.";
    case EIdTLSError::trCAFile:
      return " Check CAFile=" + std::string(kInSection) + ".";
    default:
      return "";
  }
}

// The shorter of a step's own limit and the rule file's Timeout: a user who asks for less
// patience gets it everywhere.
int Within(const TMyPOP3ServerContext& context, int limitMs) {
  return std::min(limitMs, UpstreamTimeoutMs(context));
}

// The next reply, or a refusal when none comes within limitMs.
std::string ReplyWithin(LogSink& log, TMyPOP3ServerContext& context, int limitMs,
                        const std::string& missing, const std::string& advice) {
  try {
    return ReadUpstreamReply(context, limitMs);
  } catch (const EUpstreamTimeout&) {
    RefuseTLSLogin(log, context,
                   missing + " from " + UpstreamName(context) + " within " +
                       Seconds(limitMs / 1000) + "." + advice);
  }
}

void StartUpstreamTLS(LogSink& log, TMyPOP3ServerContext& context) {
  const TUpstreamSecuritySettings& settings = context.UpstreamSecurity;
  TIdSSLSocket* tls = nullptr;
  try {
    tls = &InterposeTLS(context.Upstream.IOHandler());
    tls->Handshake({context.UpstreamHost, settings.VerifyCertificate, settings.CAFile},
                   Within(context, kUpstreamHandshakeTimeoutMs));
  } catch (const EIdTLSError& e) {
    RefuseTLSLogin(log, context, e.Message() + Advice(e.Reason()));
  } catch (...) {
    context.Upstream.Disconnect();
    throw;
  }
  log.AddToMemo("   P    TLS: " + tls->Protocol() + ", " + tls->Cipher() + ", certificate " +
                (tls->Verified() ? "verified" : "not verified (VerifyCertificate=0)"));
}

}  // namespace

void CheckUpstreamSecurity(LogSink& log, TMyPOP3ServerContext& context) {
  const TUpstreamSecuritySettings& settings = context.UpstreamSecurity;
  if (settings.Security == TUpstreamSecurity::kInvalid) {
    RefuseTLSLogin(log, context,
                   "Security=" + settings.SecurityText + kInSection +
                       " is not valid; use None, TLS or STARTTLS.");
  }
  if (!settings.VerifyCertificateValid) {
    RefuseTLSLogin(log, context,
                   "VerifyCertificate=" + settings.VerifyCertificateText + kInSection +
                       " is not valid; use 1 or 0.");
  }
  if (!settings.TimeoutValid) {
    RefuseTLSLogin(log, context,
                   "Timeout=" + settings.TimeoutText + kInSection +
                       " is not valid; use a number of seconds from 1 to " +
                       std::to_string(TUpstreamSecuritySettings::kMaxTimeoutSeconds) + ".");
  }
}

void StartUpstreamTLSIfImplicit(LogSink& log, TMyPOP3ServerContext& context) {
  if (context.UpstreamSecurity.Security == TUpstreamSecurity::kTLS)
    StartUpstreamTLS(log, context);
}

std::string ReadUpstreamGreeting(LogSink& log, TMyPOP3ServerContext& context) {
  const TUpstreamSecuritySettings& settings = context.UpstreamSecurity;
  const bool plainAsEver = !settings.SecurityGiven && settings.Security == TUpstreamSecurity::kNone;
  const int limitMs =
      plainAsEver ? UpstreamTimeoutMs(context) : Within(context, kUpstreamGreetingTimeoutMs);
  std::string advice;
  if (settings.Security == TUpstreamSecurity::kNone) {
    advice =
        " If the server expects TLS from the first byte (POP3S, usually port 995), set "
        "Security=TLS" +
        std::string(kInSection) + ".";
  }
  return ReplyWithin(log, context, limitMs, "No greeting", advice);
}

void NegotiateUpstreamSTLS(LogSink& log, TMyPOP3ServerContext& context) {
  if (context.UpstreamSecurity.Security != TUpstreamSecurity::kSTARTTLS)
    return;
  log.AddToMemo("   P->S STLS");
  SendUpstream(context, "STLS");
  const std::string reply = ReplyWithin(log, context, Within(context, kUpstreamGreetingTimeoutMs),
                                        "No answer to STLS", "");
  log.AddToMemo("   P<-S " + reply);
  if (!reply.starts_with("+OK")) {
    RefuseTLSLogin(log, context,
                   UpstreamName(context) + " does not offer STLS (it answered \"" + reply +
                       "\"). Use Security=TLS if it has a POP3S port (usually 995).");
  }
  // Bytes after the +OK came in clear; taking them as TLS data would let anyone on the path
  // inject answers (the STARTTLS command injection attack).
  if (!context.Upstream.IOHandler().InputBuffer().empty()) {
    RefuseTLSLogin(log, context,
                   UpstreamName(context) +
                       " sent data after its answer to STLS, before TLS started; the connection "
                       "may have been tampered with.");
  }
  StartUpstreamTLS(log, context);
}

}  // namespace quillbox
