// Throughput of relaying message bodies from one loopback socket to another, as the proxy passes
// a message from the real server to the mail client: the chunk relay (TAnswerRelay into the body
// writer, with receives of the writer's chunk size, as the proxy sets them), the line-by-line
// relay it replaced, and plain code that forwards the bytes with recv and send and looks at none
// of them. 100 messages of about 1 MB,
// 76-character lines, some of them stuffed. Prints the ratio of each relay to plain forwarding
// (1.0: as fast as forwarding bytes blindly).
#include <benchmark/benchmark.h>

#include <thread>

#include "RatioReporter.h"
#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"
#include "pop3/DotStuffing.h"
#include "proxy/AnswerRelay.h"

namespace quillbox {
namespace {

constexpr size_t kLinesPerMessage = 13000;  // about 1 MB per message
constexpr size_t kMessages = 100;

std::string StuffedMessage() {
  std::string bytes;
  for (size_t i = 0; i < kLinesPerMessage; ++i) {
    bytes += (i % 50 == 0 ? ".." : "");
    bytes += std::string(76, static_cast<char>('a' + i % 26)) + "\r\n";
  }
  return bytes + ".\r\n";
}

std::unique_ptr<TIdPosixSocket> Connected(TIdPosixSocket& listener) {
  auto socket = TIdPosixSocket::Create(Id_IPv4);
  socket->Connect("127.0.0.1", listener.LocalPort(), 5000);
  return socket;
}

// A server sending kMessages messages, the relay in the middle, a client draining.
struct Path {
  Path() {
    auto listener = TIdPosixSocket::Create(Id_IPv4);
    listener->Bind("127.0.0.1", 0);
    listener->Listen(2);
    server = Connected(*listener);
    from.Open(listener->Accept(5000));
    client = Connected(*listener);
    to.Open(listener->Accept(5000));
  }
  std::unique_ptr<TIdPosixSocket> server;
  std::unique_ptr<TIdPosixSocket> client;
  TIdIOHandlerStack from;
  TIdIOHandlerStack to;
};

template <class Relay>
void RelayBenchmark(benchmark::State& state, Relay relay) {
  const std::string message = StuffedMessage();
  for (auto _ : state) {
    Path path;
    std::thread sender([&] {
      for (size_t m = 0; m < kMessages; ++m) {
        for (std::string_view rest = message; !rest.empty();)
          rest.remove_prefix(path.server->Send(rest.data(), rest.size()));
      }
    });
    std::thread drain([&] {
      std::vector<char> buffer(256 * 1024);
      while (path.client->Receive(buffer.data(), buffer.size()) > 0) {
      }
    });
    relay(path, message.size());
    path.to.Close();
    sender.join();
    drain.join();
  }
  state.SetBytesProcessed(state.iterations() * message.size() * kMessages);
}

void BM_ChunkRelay(benchmark::State& state) {
  RelayBenchmark(state, [](Path& path, size_t) {
    path.from.RecvBufferSize = TIdDotTerminatedWriter::kChunk;
    for (size_t m = 0; m < kMessages; ++m) {
      TIdDotTerminatedWriter writer(path.to);
      TAnswerRelay relay(false);
      for (;;) {
        path.from.DiscardInput(relay.Take(path.from.InputBuffer(),
                                          [&writer](std::string_view p) { writer.AddStuffed(p); }));
        if (relay.Done())
          break;
        path.from.ReadFromSource(true, -1, false);
      }
      writer.Finish();
    }
  });
}

void BM_LineRelay(benchmark::State& state) {
  RelayBenchmark(state, [](Path& path, size_t) {
    std::string line;
    for (size_t m = 0; m < kMessages; ++m) {
      TIdDotTerminatedWriter writer(path.to);
      for (;;) {
        path.from.ReadLineInto(line, '\n', -1, TIdIOHandlerStack::kUnlimitedLineLength);
        if (line == ".")
          break;
        if (line.size() > 1 && line[0] == '.')
          line.erase(0, 1);
        writer.AddLine(line);
      }
      writer.Finish();
    }
  });
}

void BM_PlainForward(benchmark::State& state) {
  RelayBenchmark(state, [](Path& path, size_t size) {
    std::vector<char> buffer(256 * 1024);
    for (size_t left = size * kMessages; left > 0;) {
      const size_t n = path.from.Socket()->Receive(buffer.data(), std::min(left, buffer.size()));
      for (std::string_view rest(buffer.data(), n); !rest.empty();)
        rest.remove_prefix(path.to.Socket()->Send(rest.data(), rest.size()));
      left -= n;
    }
  });
}

BENCHMARK(BM_ChunkRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_LineRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_PlainForward)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace quillbox

int main(int argc, char** argv) {
  return quillbox::RunAndPrintRatios(
      argc, argv,
      {{"Chunk relay / plain forwarding", "BM_ChunkRelay", "BM_PlainForward"},
       {"Line relay / plain forwarding", "BM_LineRelay", "BM_PlainForward"}});
}
