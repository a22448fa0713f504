// Throughput of the line transport against plain socket code moving the same bytes over
// loopback: reading 100 MB of 76-character lines with ReadLine against recv plus memchr, and
// writing 100 MB of message lines with WriteDotTerminated (lines) and with the body writer fed
// already stuffed bytes in 32 KB parts (as a relay receives them) against a plain send loop.
// Prints the ratio of each pair (1.0: as fast as the plain code).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cstring>
#include <thread>

#include "RatioReporter.h"
#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"
#include "pop3/DotStuffing.h"

namespace quillbox {
namespace {

constexpr size_t kLineLength = 76;
constexpr size_t kLinesPerMessage = 13000;  // about 1 MB per message
constexpr size_t kMessages = 100;           // about 100 MB in all
constexpr size_t kChunk = 32768;

std::vector<std::string> MessageLines() {
  std::vector<std::string> lines;
  for (size_t i = 0; i < kLinesPerMessage; ++i) {
    std::string line(kLineLength, static_cast<char>('a' + i % 26));
    if (i % 50 == 0)
      line[0] = '.';  // some lines need stuffing
    lines.push_back(std::move(line));
  }
  return lines;
}

// The bytes of one message as they go on the wire.
std::string StuffedMessage(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) {
    if (line[0] == '.')
      bytes += '.';
    bytes += line;
    bytes += "\r\n";
  }
  return bytes + ".\r\n";
}

// A connected loopback pair of sockets.
struct Loopback {
  Loopback() {
    auto listener = TIdPosixSocket::Create(Id_IPv4);
    listener->Bind("127.0.0.1", 0);
    listener->Listen(1);
    client = TIdPosixSocket::Create(Id_IPv4);
    client->Connect("127.0.0.1", listener->LocalPort(), 5000);
    server = listener->Accept(5000);
  }
  std::unique_ptr<TIdPosixSocket> client;
  std::unique_ptr<TIdPosixSocket> server;
};

void SendAll(TIdSocket& socket, std::string_view bytes) {
  while (!bytes.empty())
    bytes.remove_prefix(socket.Send(bytes.data(), bytes.size()));
}

// Reads and drops everything until the peer closes.
void Drain(TIdSocket& socket) {
  std::vector<char> buffer(256 * 1024);
  while (socket.Receive(buffer.data(), buffer.size()) > 0) {
  }
}

// Runs the reading side while another thread sends kMessages messages of plain lines.
template <class ReadAll>
void ReadBenchmark(benchmark::State& state, ReadAll readAll) {
  std::string message;
  for (size_t i = 0; i < kLinesPerMessage; ++i)
    message += std::string(kLineLength, static_cast<char>('a' + i % 26)) + "\r\n";
  for (auto _ : state) {
    Loopback pair;
    std::thread writer([&] {
      for (size_t m = 0; m < kMessages; ++m)
        SendAll(*pair.client, message);
      pair.client->Close();
    });
    const size_t lines = readAll(pair.server);
    writer.join();
    if (lines != kLinesPerMessage * kMessages)
      state.SkipWithError("lines lost");
  }
  state.SetBytesProcessed(state.iterations() * message.size() * kMessages);
}

// Reads every line with `read` until the writer closes.
template <class Read>
size_t ReadLines(std::unique_ptr<TIdPosixSocket>& socket, Read read) {
  TIdIOHandlerStack io;
  io.Open(std::move(socket));
  size_t lines = 0;
  try {
    for (;;) {
      read(io);
      ++lines;
    }
  } catch (const EIdConnClosedGracefully&) {
  }
  return lines;
}

void BM_ReadLine(benchmark::State& state) {
  ReadBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket) {
    std::string line;
    return ReadLines(socket, [&line](TIdIOHandlerStack& io) {
      io.ReadLineInto(line);
      benchmark::DoNotOptimize(line.data());
    });
  });
}

// The same with a new string for every line, as the proxy's relay loops read.
void BM_ReadLineNewString(benchmark::State& state) {
  ReadBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket) {
    return ReadLines(socket,
                     [](TIdIOHandlerStack& io) { benchmark::DoNotOptimize(io.ReadLine()); });
  });
}

void BM_RecvMemchr(benchmark::State& state) {
  ReadBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket) {
    std::vector<char> buffer(kChunk);
    size_t lines = 0;
    for (;;) {
      const size_t n = socket->Receive(buffer.data(), buffer.size());
      if (n == 0)
        break;
      const char* p = buffer.data();
      const char* end = p + n;
      while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
        ++lines;
        ++p;
      }
    }
    return lines;
  });
}

// Not a target, an explanation: the plain loop again, but making each line a std::string as
// ReadLine must. The gap between this and BM_RecvMemchr is the cost of handing out lines.
void BM_RecvMemchrCopy(benchmark::State& state) {
  ReadBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket) {
    std::vector<char> buffer(kChunk);
    std::string partial;
    size_t lines = 0;
    for (;;) {
      const size_t n = socket->Receive(buffer.data(), buffer.size());
      if (n == 0)
        break;
      const char* p = buffer.data();
      const char* end = p + n;
      while (const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p))) {
        partial.append(p, lf - p);
        benchmark::DoNotOptimize(std::string(partial));
        partial.clear();
        ++lines;
        p = lf + 1;
      }
      partial.append(p, end - p);
    }
    return lines;
  });
}

// Runs the writing side while another thread drains the socket.
template <class WriteAll>
void WriteBenchmark(benchmark::State& state, WriteAll writeAll) {
  const std::vector<std::string> lines = MessageLines();
  const std::string bytes = StuffedMessage(lines);
  for (auto _ : state) {
    Loopback pair;
    std::thread reader([&] { Drain(*pair.client); });
    writeAll(pair.server, lines, bytes);
    reader.join();
  }
  state.SetBytesProcessed(state.iterations() * bytes.size() * kMessages);
}

void BM_WriteDotTerminated(benchmark::State& state) {
  WriteBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket, const auto& lines, auto&) {
    TIdIOHandlerStack io;
    io.Open(std::move(socket));
    for (size_t m = 0; m < kMessages; ++m)
      WriteDotTerminated(io, lines);
    io.Close();
  });
}

void BM_WriterStuffedParts(benchmark::State& state) {
  WriteBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket, auto&, const auto& bytes) {
    TIdIOHandlerStack io;
    io.Open(std::move(socket));
    const std::string_view body = std::string_view(bytes).substr(0, bytes.size() - 3);
    for (size_t m = 0; m < kMessages; ++m) {
      TIdDotTerminatedWriter writer(io);
      for (size_t at = 0; at < body.size(); at += kChunk)
        writer.AddStuffed(body.substr(at, kChunk));
      writer.Finish();
    }
    io.Close();
  });
}

void BM_PlainSend(benchmark::State& state) {
  WriteBenchmark(state, [](std::unique_ptr<TIdPosixSocket>& socket, auto&, const auto& bytes) {
    for (size_t m = 0; m < kMessages; ++m)
      SendAll(*socket, bytes);
    socket->Close();
  });
}

BENCHMARK(BM_ReadLine)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ReadLineNewString)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RecvMemchr)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_RecvMemchrCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_WriteDotTerminated)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_WriterStuffedParts)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_PlainSend)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace
}  // namespace quillbox

int main(int argc, char** argv) {
  return quillbox::RunAndPrintRatios(
      argc, argv,
      {{"ReadLine / recv+memchr", "BM_ReadLine", "BM_RecvMemchr"},
       {"ReadLine, new string per line / recv+memchr+string per line", "BM_ReadLineNewString",
        "BM_RecvMemchrCopy"},
       {"WriteDotTerminated / plain send", "BM_WriteDotTerminated", "BM_PlainSend"},
       {"Body writer, stuffed 32 KB parts / plain send", "BM_WriterStuffedParts", "BM_PlainSend"}});
}
