#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Mutex.h"
#include "net/IdSocketHandle.h"

namespace quillbox {

enum TIdMaxLineAction { maException, maSplit };

// A line connection on one TCP socket: an input buffer, line reading and line writing.
// Used by one thread at a time; only Close() (and reading Opened/ClosedGracefully) is safe from
// another thread, which is how a shutdown wakes a thread blocked in ReadLine.
class TIdIOHandlerStack {
 public:
  // ReadLine's maxLength: -1 takes MaxLineLength, kUnlimitedLineLength (or 0) lifts the limit
  // up to kHardLineLimit, which guards memory against a peer that never sends a line feed.
  static constexpr int kUnlimitedLineLength = -2;
  static constexpr size_t kHardLineLimit = 64 * 1024 * 1024;
  // ReadLine's and ReadFromSource's timeoutMs: -1 takes ReadTimeout.
  static constexpr int kDefaultTimeout = -1;

  TIdIOHandlerStack() = default;
  TIdIOHandlerStack(const TIdIOHandlerStack&) = delete;
  TIdIOHandlerStack& operator=(const TIdIOHandlerStack&) = delete;
  ~TIdIOHandlerStack();

  // Takes a connected socket: flags cleared, input buffer emptied.
  void Open(std::unique_ptr<TIdSocket> socket);

  // Puts a layer such as TLS between this connection and its socket: layer gets the socket and
  // returns the one to use from now on (it must not block; a handshake comes afterwards, when a
  // Close from another thread can already reach the new socket). Refused with EIdBufferNotEmpty
  // while unread bytes are buffered, because they came below the layer and must never pass for
  // its data; EIdNotConnected when the connection is not open.
  using TIdSocketLayer = std::function<std::unique_ptr<TIdSocket>(std::unique_ptr<TIdSocket>)>;
  void InterposeSocket(const TIdSocketLayer& layer);
  // Drops the unread bytes and returns how many there were.
  size_t DiscardInputBuffer();

  // One line without its terminator (LF, a CR before it dropped). Raises
  // EIdReadLnMaxLineLengthExceeded, EIdConnClosedGracefully, socket errors. Returns "" when a
  // timeout passes (ReadLnTimedOut() then tells it apart from an empty line).
  std::string ReadLine();
  std::string ReadLine(char terminator, int timeoutMs, int maxLength);
  // ReadLine into the caller's string, whose storage is reused: for loops that read many lines
  // and keep few of them.
  void ReadLineInto(std::string& line, char terminator = '\n', int timeoutMs = kDefaultTimeout,
                    int maxLength = -1);
  bool ReadLnTimedOut() const { return readLnTimedOut_; }
  // Whether a read would find something at once: unread bytes, bytes waiting in the socket
  // (taken into the buffer) or the peer's end. Does not wait.
  bool InputWaiting();

  void WriteLine(std::string_view text);                   // text + CR LF
  void WriteLines(const std::vector<std::string>& lines);  // all in one send
  void Write(std::string_view bytes);                      // direct send

  // The connection this one serves (an upstream connection serves its mail client's): while a
  // read here waits, it looks at that connection every kWatchSliceMs and raises
  // EIdWatchedPeerGone once its peer has hung up, so that a client that gave up never leaves a
  // thread waiting for an answer nobody takes; while an answer streams in without a pause, it
  // looks as often, so that one that never ends does not keep the thread either. nullptr: no
  // watch. It must outlive this one.
  void WatchPeerOf(TIdIOHandlerStack* served) { served_ = served; }
  static constexpr int kWatchSliceMs = 100;
  // Whether the peer has closed or reset the connection (see TIdSocket::HungUp).
  bool PeerHungUp();

  // Receives once: waits up to timeoutMs (-1: ReadTimeout; ReadTimeout -1 or 0: no limit; 0:
  // poll) and appends what came to the input buffer. Returns the number of bytes, 0 when the
  // peer closed, -1 on timeout (or raises EIdReadTimeout when raiseOnTimeout).
  int ReadFromSource(bool raiseExceptionIfDisconnected, int timeoutMs, bool raiseOnTimeout);
  // Notices a peer that has gone; raises EIdConnClosedGracefully when asked and nothing usable
  // is buffered (ignoreBuffer: buffered bytes do not count).
  void CheckForDisconnect(bool raiseExceptionIfDisconnected, bool ignoreBuffer);

  // Pulls waiting bytes in and answers whether the connection is still usable (open, or unread
  // bytes left). May raise a socket error.
  bool IsConnected();
  void Close();
  // Close after telling the peer that nothing more comes (TIdSocket::NotifyEnd): the end of a
  // connection in good order. Only on the thread that uses the connection.
  void CloseGracefully();

  bool Opened() const { return opened_.load(); }
  bool ClosedGracefully() const { return closedGracefully_.load(); }
  bool SocketOpen() const;
  // Bytes received and not yet consumed.
  std::string_view InputBuffer() const;
  // Consumes the first count bytes of InputBuffer(), which the caller has taken from there.
  void DiscardInput(size_t count);
  TIdSocket* Socket() { return Own(); }

  std::string PeerIP() const;
  int PeerPort() const;

  int MaxLineLength = 16384;
  TIdMaxLineAction MaxLineAction = maException;
  int ReadTimeout = -1;
  int RecvBufferSize = 32768;
  int SendBufferSize = 32768;
  std::string Host;
  int Port = 0;

 private:
  int EffectiveTimeout(int timeoutMs) const;
  // Waits until the socket is readable (false: the time is up), watching served_.
  bool WaitReadable(int timeout);
  // Raises EIdWatchedPeerGone when served_'s peer has hung up; looks at most every
  // kWatchSliceMs unless asked to look now.
  void WatchServed(bool now);
  void TakeLine(std::string& line, size_t length, size_t dropped);
  void Compact();
  // Makes room for `room` more bytes after tail_.
  void Reserve(size_t room);

  // The owning thread's view of the socket. Only that thread replaces the socket, so it reads
  // without the lock; another thread only closes it, under the lock.
  TIdSocket* Own() const NO_THREAD_SAFETY_ANALYSIS { return socket_.get(); }

  mutable TMutex socketLock_;
  std::unique_ptr<TIdSocket> socket_ GUARDED_BY(socketLock_);
  std::atomic<bool> opened_{false};
  std::atomic<bool> closedGracefully_{false};
  bool readLnTimedOut_ = false;
  TIdIOHandlerStack* served_ = nullptr;
  std::chrono::steady_clock::time_point nextWatch_;
  // The input buffer is buffer_[head_, tail_). The storage only grows, and consumed bytes are
  // dropped in bulk, so a receive neither clears nor moves much memory.
  std::vector<char> buffer_;
  size_t head_ = 0;
  size_t tail_ = 0;
};

}  // namespace quillbox
