#pragma once

#include <memory>
#include <string>

#include "pop3/IdCustomTCPServer.h"
#include "support/FakeSocket.h"

namespace quillbox::test {

// A server connection whose client is scripted: it sends the input at once and then waits
// without closing. Run drives the server's command loop on the calling thread until the input
// is used up or the connection ends, and returns what the server sent. For tests and fuzzers.
template <class Context = TIdContext>
class ScriptedSession {
 public:
  explicit ScriptedSession(const std::string& input) {
    auto socket = std::make_unique<FakeSocket>();
    fake_ = socket.get();
    socket->AddData(input);
    socket->AddHang();
    auto io = std::make_unique<TIdIOHandlerStack>();
    io->Open(std::move(socket));
    context = std::make_unique<Context>(std::make_unique<TIdTCPConnection>(std::move(io)));
  }

  std::string Run(TIdCustomTCPServer& server) {
    do {
      if (!server.DoExecute(*context))
        break;
    } while (!context->Connection().IOHandler().InputBuffer().empty());
    return fake_->Sent();
  }

  std::unique_ptr<Context> context;

 private:
  FakeSocket* fake_;
};

}  // namespace quillbox::test
