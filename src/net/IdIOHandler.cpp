#include "net/IdIOHandler.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/IdException.h"

namespace quillbox {

namespace {

// Internal value of an effective timeout that waits without limit.
constexpr int kInfinite = -2;

}  // namespace

TIdIOHandlerStack::~TIdIOHandlerStack() {
  Close();
}

void TIdIOHandlerStack::Open(std::unique_ptr<TIdSocket> socket) {
  std::lock_guard<std::mutex> guard(socketLock_);
  socket_ = std::move(socket);
  closedGracefully_ = false;
  readLnTimedOut_ = false;
  head_ = 0;
  tail_ = 0;
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

size_t TIdIOHandlerStack::DiscardInputBuffer() {
  const size_t dropped = tail_ - head_;
  head_ = 0;
  tail_ = 0;
  return dropped;
}

int TIdIOHandlerStack::EffectiveTimeout(int timeoutMs) const {
  if (timeoutMs == kDefaultTimeout)
    return ReadTimeout > 0 ? ReadTimeout : kInfinite;
  return timeoutMs < 0 ? kInfinite : timeoutMs;
}

std::string TIdIOHandlerStack::ReadLine() {
  std::string line;
  ReadLineInto(line, '\n', kDefaultTimeout, -1);
  return line;
}

std::string TIdIOHandlerStack::ReadLine(char terminator, int timeoutMs, int maxLength) {
  std::string line;
  ReadLineInto(line, terminator, timeoutMs, maxLength);
  return line;
}

void TIdIOHandlerStack::ReadLineInto(std::string& line, char terminator, int timeoutMs,
                                     int maxLength) {
  using Clock = std::chrono::steady_clock;
  readLnTimedOut_ = false;
  if (maxLength == -1)
    maxLength = MaxLineLength;
  const size_t limit = maxLength > 0 ? static_cast<size_t>(maxLength) : kHardLineLimit;
  const int timeout = EffectiveTimeout(timeoutMs);
  // Reading the clock costs more than finding a short line, so it is read only once the buffer
  // holds no whole line and a limited wait begins.
  Clock::time_point start;
  // The search resumes where the last one ended, so a long line is scanned only once.
  size_t searched = 0;
  for (;;) {
    const size_t available = tail_ - head_;
    if (available > searched) {
      const char* begin = buffer_.data() + head_;
      const void* hit = std::memchr(begin + searched, terminator, available - searched);
      searched = available;
      if (hit != nullptr) {
        const size_t pos = static_cast<const char*>(hit) - begin;
        if (pos > limit)
          break;
        const bool cr = terminator == '\n' && pos > 0 && begin[pos - 1] == '\r';
        TakeLine(line, cr ? pos - 1 : pos, cr ? 2 : 1);
        return;
      }
    }
    if (available > limit)
      break;
    CheckForDisconnect(true, true);
    if (timeout >= 0 && start == Clock::time_point())
      start = Clock::now();
    const int received = ReadFromSource(true, timeout, false);
    if (received < 0 ||
        (timeout >= 0 && Clock::now() - start >= std::chrono::milliseconds(timeout))) {
      readLnTimedOut_ = true;
      line.clear();
      return;
    }
  }
  if (MaxLineAction != maSplit)
    throw EIdReadLnMaxLineLengthExceeded();
  TakeLine(line, limit, 0);
}

void TIdIOHandlerStack::TakeLine(std::string& line, size_t length, size_t dropped) {
  // resize + copy skips assign's overlap handling, which shows in the per-line cost.
  line.resize(length);
  std::memcpy(line.data(), buffer_.data() + head_, length);
  head_ += length + dropped;
  Compact();
}

void TIdIOHandlerStack::Compact() {
  if (head_ == tail_) {
    head_ = 0;
    tail_ = 0;
  }
}

void TIdIOHandlerStack::Reserve(size_t room) {
  if (buffer_.size() - tail_ >= room)
    return;
  if (head_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
    tail_ -= head_;
    head_ = 0;
  }
  if (buffer_.size() - tail_ < room)
    buffer_.resize(std::max(buffer_.size() * 2, tail_ + room));
}

std::string_view TIdIOHandlerStack::InputBuffer() const {
  return std::string_view(buffer_.data() + head_, tail_ - head_);
}

void TIdIOHandlerStack::DiscardInput(size_t count) {
  head_ += std::min(count, tail_ - head_);
  Compact();
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
    // Without a time limit the receive itself waits (a Close wakes it as it wakes poll), which
    // saves a system call per receive.
    if ((timeout != kInfinite || served_ != nullptr) && !WaitReadable(timeout)) {
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
    const size_t want = RecvBufferSize > 0 ? static_cast<size_t>(RecvBufferSize) : 32768;
    Reserve(want);
    const size_t n = socket_->Receive(buffer_.data() + tail_, want);
    tail_ += n;
    if (!opened_) {
      if (raiseExceptionIfDisconnected)
        throw EIdNotConnected();
      return 0;
    }
    if (n > 0)
      return static_cast<int>(n);
    closedGracefully_ = true;
    CheckForDisconnect(raiseExceptionIfDisconnected, false);
    if (!SocketOpen())
      return 0;
  }
}

bool TIdIOHandlerStack::InputWaiting() {
  return !InputBuffer().empty() || ReadFromSource(false, 0, false) >= 0;
}

bool TIdIOHandlerStack::WaitReadable(int timeout) {
  if (served_ == nullptr || timeout == 0)
    return socket_->WaitReadable(timeout);
  // The slices are counted rather than timed: a wait that finds data at once, the usual case
  // while an answer streams in, then costs no more than one clock reading.
  for (int waited = 0;;) {
    const int slice =
        timeout == kInfinite ? kWatchSliceMs : std::min(kWatchSliceMs, timeout - waited);
    if (slice <= 0)
      return false;
    if (socket_->WaitReadable(slice)) {
      WatchServed(false);
      return true;
    }
    waited += slice;
    WatchServed(true);
  }
}

void TIdIOHandlerStack::WatchServed(bool now) {
  const auto clock = std::chrono::steady_clock::now();
  if (!now && clock < nextWatch_)
    return;
  nextWatch_ = clock + std::chrono::milliseconds(kWatchSliceMs);
  if (served_->PeerHungUp())
    throw EIdWatchedPeerGone();
}

bool TIdIOHandlerStack::PeerHungUp() {
  return socket_ == nullptr || socket_->HungUp();
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
  TIdDotTerminatedWriter writer(*this);
  writer.AddLines(lines);
  writer.Finish();
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

void TIdIOHandlerStack::CloseGracefully() {
  if (opened_ && socket_)
    socket_->NotifyEnd();
  Close();
}

std::string TIdIOHandlerStack::PeerIP() const {
  return socket_ ? socket_->PeerIP() : std::string();
}

int TIdIOHandlerStack::PeerPort() const {
  return socket_ ? socket_->PeerPort() : 0;
}

TIdDotTerminatedWriter::TIdDotTerminatedWriter(TIdIOHandlerStack& io) : io_(io) {
  // Room for a chunk and the line that fills it up, so appending rarely reallocates.
  chunk_.reserve(kChunk + 1024);
}

void TIdDotTerminatedWriter::AddLine(std::string_view line) {
  if (!line.empty() && line.front() == '.')
    chunk_.push_back('.');
  chunk_.append(line);
  chunk_.append("\r\n");
  SendIfFull();
}

void TIdDotTerminatedWriter::AddLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines)
    AddLine(line);
}

void TIdDotTerminatedWriter::AddStuffed(std::string_view bytes) {
  // A large part goes out as it is, after what has collected, without a copy.
  if (bytes.size() >= kDirect) {
    Flush();
    io_.Write(bytes);
    sent_ += bytes.size();
    return;
  }
  chunk_.append(bytes);
  SendIfFull();
}

void TIdDotTerminatedWriter::Flush() {
  if (!chunk_.empty()) {
    io_.Write(chunk_);
    sent_ += chunk_.size();
    chunk_.clear();
  }
}

void TIdDotTerminatedWriter::Finish() {
  chunk_.append(".\r\n");
  Flush();
}

void TIdDotTerminatedWriter::SendIfFull() {
  if (chunk_.size() >= kChunk)
    Flush();
}

}  // namespace quillbox
