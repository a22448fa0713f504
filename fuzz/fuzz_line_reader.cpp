// Arbitrary bytes from a peer through the line reader: however they are cut into receives and
// whatever limit is asked for, reading must end in lines or one of the transport's errors.
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "support/FakeSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillbox;
  using namespace quillbox::test;
  if (size < 2)
    return 0;
  // The first byte says how the bytes are cut into receives, the second which limit applies.
  const size_t cut = data[0] % 17;
  const int limits[] = {-1, TIdIOHandlerStack::kUnlimitedLineLength, 1, 80};
  const int limit = limits[data[1] % 4];
  const bool split = (data[1] & 4) != 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  auto socket = std::make_unique<FakeSocket>();
  if (cut > 0)
    socket->MaxReceive = cut;
  socket->AddData(bytes);
  TIdIOHandlerStack io;
  io.MaxLineAction = split ? maSplit : maException;
  io.Open(std::move(socket));
  size_t consumed = 0;
  try {
    for (;;) {
      const std::string line = io.ReadLine('\n', -1, limit);
      consumed += line.size();
      if (consumed > bytes.size())
        __builtin_trap();  // a line made of bytes that never came
    }
  } catch (const EIdException&) {
    // every way of ending is one of the transport's errors
  }
  return 0;
}
