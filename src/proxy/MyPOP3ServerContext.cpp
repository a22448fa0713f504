#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

TMyPOP3ServerContext::TMyPOP3ServerContext(std::unique_ptr<TIdTCPConnection> connection)
    : TIdPOP3ServerContext(std::move(connection)) {
  // Every wait for the real server also watches the mail client: one that gave up must not
  // leave its place taken until the server answers or the timeout passes.
  Upstream.Served = &Connection().IOHandler();
  Upstream.KeepAlive = true;
}

void TMyPOP3ServerContext::Abort() {
  TIdPOP3ServerContext::Abort();
  Upstream.Abort();
}

void TMyPOP3ServerContext::ForgetLogin() {
  Upstream.DisconnectGracefully();
  if (Upstream.HasIOHandler())
    Upstream.IOHandler().DiscardInputBuffer();
  static_cast<TProxySession&>(*this) = TProxySession();
}

}  // namespace quillbox
