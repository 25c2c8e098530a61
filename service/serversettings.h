#pragma once

#include <string>
#include <vector>

namespace service {

// A certificate and its private key (PEM files) to serve HTTPS with.
struct TlsFiles {
    std::string certificate;
    std::string key;
};

// What a client may take of the service: limits that keep slow or greedy
// clients from starving the others.
struct ServerLimits {
    int headerMs = 5000;          // to send a request's line and headers
    int bodyMs = 10000;           // then to send its body
    int keepAliveMs = 5000;       // idle time between requests on a connection
    int writeMs = 10000;          // for the client to take an answer
    int workers = 64;             // connections served at once
    int perAddress = 16;          // of them from one client address
    int waitingPerAddress = 256;  // accepted connections of one address waiting for a worker
    int handshakeMs = 5000;       // for a TLS handshake, from the connection's accept
    int handshakes = 512;         // TLS handshakes in progress at once
    int handshakesPerAddress = 64; // of them from one client address
    // The addresses of trusted reverse proxies. Their connections carry the
    // requests of many clients: they are held to none of the caps per
    // address, and a request through them comes from the last address of its
    // X-Forwarded-For header. With any, the service is one reachable from the
    // network whatever address it listens on.
    std::vector<std::string> proxies;
};

// Where a server listens, as its bind() found it.
struct Binding {
    std::string address;
    int port = 0;
    // Bound to a loopback address only, with no reverse proxy in front: the
    // single-user "/sync" page needs no key, and Host names other than
    // loopback ones are refused.
    bool loopbackOnly = false;
};

} // namespace service
