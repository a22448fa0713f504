#include "net/IdException.h"

#include <gtest/gtest.h>

#include <cerrno>

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

TEST(SocketErrorTest, NotASocketIsItsOwnClass) {
  EXPECT_THROW(RaiseSocketError(ENOTSOCK), EIdNotASocket);
  EXPECT_THROW(RaiseSocketError(ECONNREFUSED), EIdSocketError);
}

}  // namespace
}  // namespace quillbox
