#include "net/IdSSLGlue.h"

#include <openssl/bio.h>

#include "net/IdSSLOpenSSL.h"

namespace quillbox {

// OpenSSL reaches the socket below through a BIO of our own instead of the descriptor, so the
// socket's own errors, its Close from another thread and test sockets all work as for plain
// connections. Exceptions cannot cross OpenSSL's C frames: the callbacks park them in failure_.
struct TIdSSLGlue {
  static TIdSSLSocket& Socket(BIO* bio) { return *static_cast<TIdSSLSocket*>(BIO_get_data(bio)); }

  // Never blocks: with nothing waiting below, OpenSSL is told to retry, so a record that is only
  // partly there (or one that holds no application data) cannot hold the caller.
  static int Read(BIO* bio, char* data, size_t size, size_t* done) {
    BIO_clear_retry_flags(bio);
    TIdSSLSocket& s = Socket(bio);
    if (s.failure_ || s.belowEnded_)
      return 0;
    try {
      if (!s.inner_->WaitReadable(0)) {
        BIO_set_retry_read(bio);
        return 0;
      }
      *done = s.inner_->Receive(data, size);
      s.belowEnded_ = *done == 0;
      return *done > 0 ? 1 : 0;
    } catch (...) {
      s.failure_ = std::current_exception();
      return 0;
    }
  }

  // Blocks like a plain send, except for the records of application data, which Send collects
  // and passes on in one.
  static int Write(BIO* bio, const char* data, size_t size, size_t* done) {
    BIO_clear_retry_flags(bio);
    TIdSSLSocket& s = Socket(bio);
    if (s.failure_)
      return 0;
    if (s.collecting_) {
      s.collected_.append(data, size);
      *done = size;
      return 1;
    }
    try {
      *done = s.inner_->Send(data, size);
      return *done > 0 ? 1 : 0;
    } catch (...) {
      s.failure_ = std::current_exception();
      return 0;
    }
  }

  static long Control(BIO* bio, int command, long, void*) {
    switch (command) {
      case BIO_CTRL_FLUSH:
        return 1;
      case BIO_CTRL_EOF:
        // With SSL_OP_IGNORE_UNEXPECTED_EOF this makes a peer that closes without close_notify
        // an ordinary end of stream: POP3 frames its own answers, so a cut answer still shows.
        return Socket(bio).belowEnded_ ? 1 : 0;
      default:
        return 0;
    }
  }

  static int Create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }

  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillbox socket");
      BIO_meth_set_read_ex(m, Read);
      BIO_meth_set_write_ex(m, Write);
      BIO_meth_set_ctrl(m, Control);
      BIO_meth_set_create(m, Create);
      return m;
    }();
    return method;
  }
};

const BIO_METHOD* SocketBioMethod() {
  return TIdSSLGlue::Method();
}

}  // namespace quillbox
