#include "proxy/MyPOP3ServerContext.h"

namespace quillbox {

void TMyPOP3ServerContext::Abort() {
  TIdPOP3ServerContext::Abort();
  Upstream.Abort();
}

}  // namespace quillbox
