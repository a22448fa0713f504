#include "net/IdException.h"

#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>

#include "net/IdStack.h"

namespace quillbox {
namespace {

TEST(SocketErrorTest, MessageIsNumberLineBreakAndTableText) {
  EXPECT_EQ(EIdSocketError(10061).Message(), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(EIdSocketError(11001).Message(), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(EIdSocketError(12345).Message(), "Socket Error # 12345\r\n");
}

TEST(SocketErrorTest, ErrnoMapsOntoWinsockNumbers) {
  struct Case {
    int err;
    int winsock;
  } cases[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049},
      {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065}, {ECONNRESET, 10054}, {ECONNABORTED, 10053},
      {EPIPE, 10058},        {ENOTCONN, 10057},     {EISCONN, 10056},    {EINTR, 10004},
      {EBADF, 10009},        {EACCES, 10013},       {EINVAL, 10022},     {EMFILE, 10024},
      {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},  {EALREADY, 10037},   {ENOTSOCK, 10038},
      {EMSGSIZE, 10040},     {ENETDOWN, 10050},     {ENETRESET, 10052},  {ENOBUFS, 10055},
      {EHOSTDOWN, 10064},    {ENOENT, ENOENT},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WinsockErrorFromErrno(c.err), c.winsock) << "errno " << c.err;
  }
}

// A name service that does not answer must not pass for a mistyped host name.
TEST(SocketErrorTest, LookupFailuresTellAnOutageFromAnUnknownName) {
  struct Case {
    int gaiError, err, winsock;
    const char* text;
  } cases[] = {
      {EAI_NONAME, 0, 11001, "Host not found."},
      {EAI_AGAIN, 0, 11002, "Name service not answering. Try again later."},
      {EAI_FAIL, 0, 11001, "Host not found."},
      {EAI_SYSTEM, ENETUNREACH, 10051, "Network is unreachable."},
      {EAI_SYSTEM, 0, 11001, "Host not found."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gaiError);
    EXPECT_EQ(WinsockErrorFromLookup(c.gaiError, c.err), c.winsock);
    EXPECT_EQ(SocketErrorText(c.winsock), c.text);
  }
}

TEST(SocketErrorTest, NotASocketIsItsOwnClass) {
  EXPECT_THROW(RaiseSocketError(ENOTSOCK), EIdNotASocket);
  EXPECT_THROW(RaiseSocketError(ECONNREFUSED), EIdSocketError);
}

}  // namespace
}  // namespace quillbox
