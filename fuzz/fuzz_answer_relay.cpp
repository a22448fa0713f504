// Arbitrary answers from a real server through the chunk relay and through the line relay it
// replaced (read line by line, the stuffed dot taken off, forged names renamed, each line written
// again): the client must receive the same bytes, and the relay must stop right after the
// terminating line. An answer that breaks off must have passed on the same whole lines.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "pop3/DotStuffing.h"
#include "proxy/AnswerRelay.h"
#include "proxy/MessageAnnotation.h"
#include "support/FakeSocket.h"

namespace {

using namespace quillbox;
using namespace quillbox::test;

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

struct Result {
  std::string out;    // what reached the client
  size_t used = 0;    // bytes of the answer read up to the end of the terminating line
  bool done = false;  // the terminating line came
};

// The line relay: each line read, unstuffed, renamed while no empty line has passed, written.
Result LineRelay(const std::string& answer, bool rename, size_t cut) {
  auto upstream = std::make_unique<FakeSocket>();
  if (cut > 0)
    upstream->MaxReceive = cut;
  upstream->AddData(answer);
  TIdIOHandlerStack in;
  in.Open(std::move(upstream));
  auto client = std::make_unique<FakeSocket>();
  FakeSocket& sent = *client;
  TIdIOHandlerStack out;
  out.Open(std::move(client));
  TMessageAnnotation annotation;
  if (!rename) {
    std::string empty;
    annotation.DeliverLine(empty);
  }
  Result r;
  try {
    TIdDotTerminatedWriter writer(out);
    for (;;) {
      std::string line = in.ReadLine('\n', -1, TIdIOHandlerStack::kUnlimitedLineLength);
      if (line == ".") {
        r.done = true;
        break;
      }
      if (line.size() > 1 && line[0] == '.')
        line.erase(0, 1);
      annotation.DeliverLine(line);
      writer.AddLine(line);
      writer.Flush();
    }
    writer.Flush();
    while (in.ReadFromSource(false, 0, false) > 0) {
    }
    r.used = answer.size() - in.InputBuffer().size();
  } catch (const EIdException&) {
  }
  r.out = sent.Sent();
  return r;
}

Result ChunkRelay(const std::string& answer, bool rename, size_t cut) {
  TAnswerRelay relay(rename);
  Result r;
  std::string pending;
  for (size_t at = 0; at < answer.size() && !relay.Done();) {
    const size_t n = cut == 0 ? answer.size() : std::min(cut, answer.size() - at);
    pending.append(answer, at, n);
    at += n;
    const size_t used = relay.Take(pending, [&r](std::string_view part) { r.out.append(part); });
    Check(used <= pending.size());
    pending.erase(0, used);
    r.used += used;
  }
  r.done = relay.Done();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  // The first byte says how the answer is cut into receives and whether names are renamed.
  const size_t cut = data[0] % 17;
  const bool rename = (data[0] & 0x80) != 0;
  const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Result lines = LineRelay(answer, rename, cut);
  const Result chunks = ChunkRelay(answer, rename, cut);
  Check(chunks.done == lines.done);
  if (lines.done) {
    Check(chunks.out == lines.out);
    Check(chunks.used == lines.used);
  } else {
    // The whole lines are the same; of a line cut off, a part may have gone on.
    Check(chunks.out.compare(0, lines.out.size(), lines.out) == 0);
    Check(chunks.out.find('\n', lines.out.size()) == std::string::npos);
  }
  return 0;
}
