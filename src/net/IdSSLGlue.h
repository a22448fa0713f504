#pragma once

// The way between OpenSSL and the socket below a TIdSSLSocket: a BIO whose data is the
// TIdSSLSocket. Internal to the TLS socket.

struct bio_method_st;

namespace quillbox {

// Thread-safe; made once.
const bio_method_st* SocketBioMethod();

}  // namespace quillbox
