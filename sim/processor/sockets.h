// The processor's sockets, reached behind the server library's back: it
// hands none out and does not say why a bind failed.
#pragma once

#include <string>

namespace tarnsim {

// Drops the client's connection (found by its two ports) without a byte of
// answer: the handler shuts its own socket down; the library's write of the
// answer then fails and it closes the socket.
void DropConnection(int localPort, int remotePort);
// The same for a socket the handler knows (a TLS connection's).
void DropSocket(int fd);
// Shuts down every accepted connection of the server on `port`, so that a
// stop does not wait for idle kept-alive clients (the library waits up to its
// keep-alive time-out for each). Clients of the same process that talk to
// this port have other local ports and are left alone.
void DropAllConnections(int port);
// Why host:port cannot be bound, as a line for an operator: the bind is
// tried once more by hand to learn the reason.
std::string BindProblem(const std::string& host, int port);

}  // namespace tarnsim
