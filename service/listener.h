#pragma once

#include "service/serversettings.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace service {

class ClientConnection;

// The HTTP library's request parsing and routing, under a connection layer of
// the service's own: an accept loop that spreads connections over the
// workers with a cap per client address (a reverse proxy's may have every
// worker) and a queue for those waiting, TLS
// when asked for (its handshakes driven by the accept loop, see Handshakes,
// so that a worker serves only connections whose handshake is done), and the
// keep-alive loop over a ClientConnection that enforces the read deadlines.
// One per server.
class Listener : public httplib::Server {
public:
    explicit Listener(const ServerLimits& limits);
    ~Listener() override;

    const ServerLimits& limits() const { return limits_; }

    // Serves HTTPS from now on; false when the files are no usable
    // certificate and matching key.
    bool useTls(const TlsFiles& files);
    // Binds the address; port 0 takes any free port. The port bound, or
    // nothing with the reason.
    std::optional<int> open(const std::string& address, int port, std::string* error = nullptr);

    // Accepts connections until halt(); false when nothing is bound.
    bool serve();
    // Returns once serve() accepts connections or has ended.
    void waitUntilServing();
    // Tells waitUntilServing() that serve() has ended.
    void markFinished();
    // Wakes the accept loop; the socket is closed by whoever owns it last,
    // so its number cannot be reused under the loop's feet.
    void halt();

    // For the request being routed on the calling worker: its body of
    // `length` bytes must arrive within `ms`.
    void expectBody(size_t length, int ms);
    // For the request being routed on the calling worker: its connection
    // closes after the answer, and the answer says so.
    void closeAfterAnswer(httplib::Response& response);
    // For the request being routed on the calling worker: its line and
    // headers as the client sent them, not decoded; nothing when they are
    // longer than maxHeadBytes.
    std::optional<std::string> requestHead();

private:
    // An accepted connection, with its TLS session (after the handshake) when
    // there is TLS.
    struct Accepted {
        int socket;
        SSL* ssl;
    };
    struct Address {
        int active = 0;
        std::deque<Accepted> waiting;
    };

    void closeListening();
    void acceptLoop(int listening);
    void admit(int socket, SSL* ssl, const std::string& address);
    void dispatch(Accepted connection, const std::string& address);
    static void closeConnection(int socket, SSL* ssl);
    void serveConnection(int socket, SSL* ssl);
    void serveRequests(ClientConnection& connection);
    ClientConnection* current();

    const ServerLimits limits_;
    SSL_CTX* tls_ = nullptr;
    std::atomic<bool> running_ { false };
    bool finished_ = false;
    std::mutex mutex_;
    std::condition_variable started_;
    std::map<std::string, Address> addresses_;
    httplib::ThreadPool* pool_ = nullptr;
    // The connection each worker thread serves, for the routing hooks.
    std::mutex connectionsMutex_;
    std::map<std::thread::id, ClientConnection*> connections_;
    // Large requests leave freed memory in the allocator's arenas; once the
    // last of them is answered it goes back to the system.
    std::atomic<int> largeRequests_ { 0 };
};

} // namespace service
