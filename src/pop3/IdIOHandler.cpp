#include "pop3/IdIOHandler.h"

#include <chrono>
#include <cstring>

#include "pop3/IdException.h"

namespace quillbox {

namespace {

// Internal value of an effective timeout that waits without limit.
constexpr int kInfinite = -2;

// A dot-terminated body is sent in chunks of about this size: the bytes are those of one send
// per line, but a large message costs a few system calls instead of one per line.
constexpr size_t kDotTerminatedChunk = 64 * 1024;

// Consumed bytes are dropped from the front of the buffer once this many have piled up.
constexpr size_t kCompactThreshold = 32 * 1024;

}  // namespace

TIdIOHandlerStack::~TIdIOHandlerStack() {
  Close();
}

void TIdIOHandlerStack::Open(std::unique_ptr<TIdSocket> socket) {
  std::lock_guard<std::mutex> guard(socketLock_);
  socket_ = std::move(socket);
  closedGracefully_ = false;
  readLnTimedOut_ = false;
  buffer_.clear();
  head_ = 0;
  opened_ = true;
}

void TIdIOHandlerStack::InterposeSocket(const TIdSocketLayer& layer) {
  if (!InputBuffer().empty())
    throw EIdBufferNotEmpty();
  std::lock_guard<std::mutex> guard(socketLock_);
  if (!opened_ || !socket_)
    throw EIdNotConnected();
  socket_ = layer(std::move(socket_));
}

int TIdIOHandlerStack::EffectiveTimeout(int timeoutMs) const {
  if (timeoutMs == kDefaultTimeout)
    return ReadTimeout > 0 ? ReadTimeout : kInfinite;
  return timeoutMs < 0 ? kInfinite : timeoutMs;
}

std::string TIdIOHandlerStack::ReadLine() {
  return ReadLine('\n', kDefaultTimeout, -1);
}

std::string TIdIOHandlerStack::ReadLine(char terminator, int timeoutMs, int maxLength) {
  using Clock = std::chrono::steady_clock;
  readLnTimedOut_ = false;
  if (maxLength == -1)
    maxLength = MaxLineLength;
  const size_t limit = maxLength > 0 ? static_cast<size_t>(maxLength) : kHardLineLimit;
  const int timeout = EffectiveTimeout(timeoutMs);
  const auto start = Clock::now();
  // The search resumes where the last one ended, so a long line is scanned only once.
  size_t searched = 0;
  for (;;) {
    const size_t available = buffer_.size() - head_;
    if (available > searched) {
      const char* begin = buffer_.data() + head_;
      const void* hit = std::memchr(begin + searched, terminator, available - searched);
      searched = available;
      if (hit != nullptr) {
        const size_t pos = static_cast<const char*>(hit) - begin;
        if (pos > limit)
          break;
        const bool cr = terminator == '\n' && pos > 0 && begin[pos - 1] == '\r';
        return TakeLine(cr ? pos - 1 : pos, cr ? 2 : 1);
      }
    }
    if (available > limit)
      break;
    CheckForDisconnect(true, true);
    const int received = ReadFromSource(true, timeout, false);
    if (received < 0 ||
        (timeout >= 0 && Clock::now() - start >= std::chrono::milliseconds(timeout))) {
      readLnTimedOut_ = true;
      return std::string();
    }
  }
  if (MaxLineAction == maSplit)
    return TakeLine(limit, 0);
  throw EIdReadLnMaxLineLengthExceeded();
}

std::string TIdIOHandlerStack::TakeLine(size_t length, size_t dropped) {
  std::string line(buffer_.data() + head_, length);
  head_ += length + dropped;
  Compact();
  return line;
}

void TIdIOHandlerStack::Compact() {
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ >= kCompactThreshold) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
}

std::string_view TIdIOHandlerStack::InputBuffer() const {
  return std::string_view(buffer_).substr(head_);
}

bool TIdIOHandlerStack::SocketOpen() const {
  return socket_ != nullptr && socket_->IsOpen();
}

void TIdIOHandlerStack::CheckForDisconnect(bool raiseExceptionIfDisconnected, bool ignoreBuffer) {
  bool gone;
  if (closedGracefully_) {
    if (SocketOpen())
      Close();
    gone = true;
  } else {
    gone = !SocketOpen();
  }
  if (gone && raiseExceptionIfDisconnected && (ignoreBuffer || InputBuffer().empty()))
    throw EIdConnClosedGracefully();
}

int TIdIOHandlerStack::ReadFromSource(bool raiseExceptionIfDisconnected, int timeoutMs,
                                      bool raiseOnTimeout) {
  const int timeout = EffectiveTimeout(timeoutMs);
  CheckForDisconnect(raiseExceptionIfDisconnected, false);
  for (;;) {
    if (!SocketOpen()) {
      if (raiseExceptionIfDisconnected)
        throw EIdNotConnected();
      return 0;
    }
    if (!socket_->WaitReadable(timeout)) {
      if (raiseOnTimeout)
        throw EIdReadTimeout();
      return -1;
    }
    if (!opened_) {
      if (raiseExceptionIfDisconnected)
        throw EIdNotConnected();
      return 0;
    }
    if (!socket_->IsOpen())
      throw EIdClosedSocket();
    const size_t old = buffer_.size();
    const size_t want = RecvBufferSize > 0 ? static_cast<size_t>(RecvBufferSize) : 32768;
    buffer_.resize(old + want);
    size_t n;
    try {
      n = socket_->Receive(buffer_.data() + old, want);
    } catch (...) {
      buffer_.resize(old);
      throw;
    }
    buffer_.resize(old + n);
    if (n > 0)
      return static_cast<int>(n);
    closedGracefully_ = true;
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (!SocketOpen())
      return 0;
  }
}

void TIdIOHandlerStack::Write(std::string_view bytes) {
  CheckForDisconnect(true, true);
  while (!bytes.empty()) {
    const size_t sent = socket_->Send(bytes.data(), bytes.size());
    if (sent == 0) {
      closedGracefully_ = true;
      CheckForDisconnect(true, false);
    }
    bytes.remove_prefix(sent);
  }
}

void TIdIOHandlerStack::WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  Write(line);
}

void TIdIOHandlerStack::WriteLines(const std::vector<std::string>& lines) {
  std::string block;
  for (const auto& line : lines) {
    block.append(line);
    block.append("\r\n");
  }
  Write(block);
}

void TIdIOHandlerStack::WriteDotTerminated(const std::vector<std::string>& lines) {
  std::string chunk;
  chunk.reserve(kDotTerminatedChunk + 1024);
  for (const auto& line : lines) {
    if (!line.empty() && line.front() == '.')
      chunk.push_back('.');
    chunk.append(line);
    chunk.append("\r\n");
    if (chunk.size() >= kDotTerminatedChunk) {
      Write(chunk);
      chunk.clear();
    }
  }
  chunk.append(".\r\n");
  Write(chunk);
}

bool TIdIOHandlerStack::IsConnected() {
  ReadFromSource(false, 0, false);
  const bool buffered = !InputBuffer().empty();
  return (SocketOpen() && opened_ && !(closedGracefully_ && !buffered)) || buffered;
}

void TIdIOHandlerStack::Close() {
  std::lock_guard<std::mutex> guard(socketLock_);
  opened_ = false;
  if (socket_)
    socket_->Close();
}

std::string TIdIOHandlerStack::PeerIP() const {
  return socket_ ? socket_->PeerIP() : std::string();
}

int TIdIOHandlerStack::PeerPort() const {
  return socket_ ? socket_->PeerPort() : 0;
}

}  // namespace quillbox
