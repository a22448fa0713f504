#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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

  void WriteLine(std::string_view text);                           // text + CR LF
  void WriteLines(const std::vector<std::string>& lines);          // all in one send
  void WriteDotTerminated(const std::vector<std::string>& lines);  // stuffed, then "."
  // The lines of a dot-terminated body, stuffed, without the final ".": for a body that is
  // sent in parts as it arrives, the last part going out with WriteDotTerminated.
  void WriteStuffed(const std::vector<std::string>& lines);
  void Write(std::string_view bytes);  // direct send

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

  bool Opened() const { return opened_.load(); }
  bool ClosedGracefully() const { return closedGracefully_.load(); }
  bool SocketOpen() const;
  // Bytes received and not yet consumed.
  std::string_view InputBuffer() const;
  TIdSocket* Socket() { return socket_.get(); }

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
  std::string StuffInChunks(const std::vector<std::string>& lines);
  int EffectiveTimeout(int timeoutMs) const;
  void TakeLine(std::string& line, size_t length, size_t dropped);
  void Compact();
  // Makes room for `room` more bytes after tail_.
  void Reserve(size_t room);

  // Guards replacing and closing the socket; the owning thread uses socket_ without it.
  mutable std::mutex socketLock_;
  std::unique_ptr<TIdSocket> socket_;
  std::atomic<bool> opened_{false};
  std::atomic<bool> closedGracefully_{false};
  bool readLnTimedOut_ = false;
  // The input buffer is buffer_[head_, tail_). The storage only grows, and consumed bytes are
  // dropped in bulk, so a receive neither clears nor moves much memory.
  std::vector<char> buffer_;
  size_t head_ = 0;
  size_t tail_ = 0;
};

}  // namespace quillbox
