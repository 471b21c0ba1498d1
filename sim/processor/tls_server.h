// The processor's HTTPS server: the server library's request parsing and
// routing over a TLS connection of its own, which reads in whole records and
// sends each answer as one.
//
// The library's own TLS stream reads a request's head one byte per SSL_read
// (its line reader asks for one byte at a time and only the plain stream
// buffers), so an HTTPS request cost some 160 calls into OpenSSL where the
// plain one cost one read; and it wrote an answer's head and body as two
// records. A client therefore paid two decryptions and the server two
// encryptions where one does.
#pragma once

#include <httplib.h>

namespace tarnsim {

class TlsServer : public httplib::SSLServer {
public:
    using httplib::SSLServer::SSLServer;

private:
    // One accepted connection, from the handshake to the close: the
    // library's keep-alive loop, with a stream that survives its requests.
    bool process_and_close_socket(socket_t sock) override;
};

}  // namespace tarnsim
