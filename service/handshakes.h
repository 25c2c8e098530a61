#pragma once

#include "service/serversettings.h"

#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace service {

// The TLS handshakes of new connections, driven without blocking by the
// thread that accepts them, so that no client in its handshake holds a
// worker: a connection reaches the workers only once its handshake is done.
// Each handshake has a deadline from its accept; their number is capped in
// all and per client address, and a new one beyond a cap ends the oldest.
class Handshakes {
public:
    // A connection whose handshake is done, `ssl` its session; its socket
    // stays one that does not block.
    using Done = std::function<void(int socket, SSL* ssl, const std::string& address)>;

    Handshakes(SSL_CTX* tls, const ServerLimits& limits);
    ~Handshakes();
    Handshakes(const Handshakes&) = delete;
    Handshakes& operator=(const Handshakes&) = delete;

    // Takes a newly accepted connection over.
    void add(int socket, const std::string& address, const Done& done);
    // Appends what each pending handshake waits for to `entries`.
    void watch(std::vector<pollfd>& entries) const;
    // Time to the next deadline, `limit` ms at most.
    int msUntilDeadline(int limit) const;
    // Goes on with the handshakes whose sockets are ready, as polled in
    // `entries` from `first` on (in the order of watch()), and ends those
    // that failed or ran out of time.
    void advance(const std::vector<pollfd>& entries, size_t first, const Done& done);
    // Ends every pending handshake.
    void clear();
    size_t size() const { return pending_.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int socket;
        SSL* ssl;
        std::string address;
        Clock::time_point deadline;
        short events = POLLIN;
    };
    using Iterator = std::list<Pending>::iterator;

    // Goes one step on; true while the handshake waits for the client. One
    // that is over, done or failed, is no longer pending and `entry` moves
    // on to the next.
    bool step(Iterator& entry, const Done& done);
    // Ends a pending handshake; the next one.
    Iterator close(Iterator entry);
    // No longer pending; the next one.
    Iterator forget(Iterator entry);

    SSL_CTX* tls_;
    const ServerLimits& limits_;
    std::list<Pending> pending_; // in the order of their accept
    std::map<std::string, int> perAddress_;
};

} // namespace service
