#include "service/listener.h"

#include "service/connection.h"
#include "service/handshakes.h"
#include "service/hosts.h"

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

namespace service {

namespace {

constexpr char busy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";

// The suites of TLS 1.2: ephemeral key exchange with AES-GCM or ChaCha20-Poly1305.
constexpr char tls12Suites[] = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                               "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                               "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Requests with a body this large count as large (see largeRequests_).
constexpr size_t largeRequestBytes = 64 * 1024;

// Reads what the client still sends, for a moment at most, so that closing
// does not reset the connection before the answer is read.
void drain(int socket)
{
    ::shutdown(socket, SHUT_WR);
    char sink[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd entry { socket, POLLIN, 0 };
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0
            || ::recv(socket, sink, sizeof sink, 0) <= 0)
            break;
    }
}

} // namespace

Listener::Listener(const ServerLimits& limits) : limits_(limits)
{
    // The listening socket: a port in use must be refused, not shared (the
    // library's default).
    set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

Listener::~Listener()
{
    closeListening();
    SSL_CTX_free(tls_);
}

bool Listener::useTls(const TlsFiles& files)
{
    // A client gone in the middle of an answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    tls_ = SSL_CTX_new(TLS_server_method());
    if (!tls_)
        return false;
    // TLS 1.2 offers forward secrecy and authenticated encryption only (TLS
    // 1.3 has nothing else), the server's order of preference wins, and a
    // client cannot ask for handshake after handshake on one connection.
    SSL_CTX_set_options(tls_, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
    return SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) == 1
        && SSL_CTX_set_cipher_list(tls_, tls12Suites) == 1
        && SSL_CTX_use_certificate_chain_file(tls_, files.certificate.c_str()) == 1
        && SSL_CTX_use_PrivateKey_file(tls_, files.key.c_str(), SSL_FILETYPE_PEM) == 1
        && SSL_CTX_check_private_key(tls_) == 1;
}

std::optional<int> Listener::open(const std::string& address, int port, std::string* error)
{
    if (port < 0 || port > 65535) {
        if (error)
            *error = "the port " + std::to_string(port) + " is not between 0 and 65535";
        return std::nullopt;
    }
    int bound = 0;
    if (port == 0)
        bound = bind_to_any_port(address);
    else if (bind_to_port(address, port))
        bound = port;
    if (bound <= 0) {
        if (error)
            *error = "cannot listen on " + address + " port " + std::to_string(port)
                + " (address not local, or the port is in use)";
        return std::nullopt;
    }
    // A burst of new clients must not wait for a retry behind the library's
    // backlog of 5.
    if (svr_sock_ != INVALID_SOCKET)
        ::listen(svr_sock_, 256);
    return bound;
}

bool Listener::serve()
{
    const int listening = svr_sock_;
    if (listening == INVALID_SOCKET)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = true;
    }
    started_.notify_all();
    httplib::ThreadPool pool(static_cast<size_t>(std::max(1, limits_.workers)));
    pool_ = &pool;
    acceptLoop(listening);
    pool.shutdown(); // serves the admitted connections to their end
    pool_ = nullptr;
    closeListening();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : addresses_)
        for (const Accepted& waiting : entry.second.waiting)
            closeConnection(waiting.socket, waiting.ssl);
    addresses_.clear();
    return true;
}

// Accepts connections and, with TLS, drives their handshakes as well: a
// connection goes to the workers once its handshake is done.
void Listener::acceptLoop(int listening)
{
    std::optional<Handshakes> handshakes;
    if (tls_)
        handshakes.emplace(tls_, limits_);
    const Handshakes::Done done = [this](int socket, SSL* ssl, const std::string& address) {
        admit(socket, ssl, address);
    };
    std::vector<pollfd> entries;
    while (running_) {
        entries.assign(1, pollfd { listening, POLLIN, 0 });
        if (handshakes)
            handshakes->watch(entries);
        const int ready = ::poll(entries.data(), entries.size(), handshakes ? handshakes->msUntilDeadline(100) : 100);
        if (ready < 0)
            continue;
        if (handshakes)
            handshakes->advance(entries, 1, done);
        if (!(entries[0].revents & POLLIN))
            continue;
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        const int socket = ::accept4(listening, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EMFILE || errno == ENFILE) // out of descriptors: let workers free some
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        int yes = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        if (handshakes)
            handshakes->add(socket, addressText(address), done);
        else
            admit(socket, nullptr, addressText(address));
    }
}

void Listener::waitUntilServing()
{
    std::unique_lock<std::mutex> lock(mutex_);
    started_.wait(lock, [this] { return running_ || finished_; });
}

void Listener::markFinished()
{
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    started_.notify_all();
}

void Listener::halt()
{
    running_ = false;
    const int listening = svr_sock_;
    if (listening != INVALID_SOCKET)
        ::shutdown(listening, SHUT_RDWR);
}

void Listener::expectBody(size_t length, int ms)
{
    ClientConnection* connection = current();
    if (!connection)
        return;
    connection->limitReading(ms);
    connection->bodyBytes = length;
    if (length >= largeRequestBytes)
        ++largeRequests_;
}

void Listener::closeAfterAnswer(httplib::Response& response)
{
    ClientConnection* connection = current();
    if (!connection)
        return;
    connection->closeAfterAnswer = true;
    response.set_header("Connection", "close");
}

std::optional<std::string> Listener::requestHead()
{
    ClientConnection* connection = current();
    return connection ? connection->head() : std::nullopt;
}

void Listener::closeListening()
{
    const int listening = svr_sock_.exchange(INVALID_SOCKET);
    if (listening != INVALID_SOCKET)
        ::close(listening);
}

void Listener::admit(int socket, SSL* ssl, const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Address& state = addresses_[address];
    // A reverse proxy brings many clients: it may have every worker.
    const int cap = listedAddress(limits_.proxies, address) ? std::max(limits_.perAddress, limits_.workers)
                                                             : limits_.perAddress;
    if (state.active < cap) {
        ++state.active;
        dispatch({ socket, ssl }, address);
    } else if (static_cast<int>(state.waiting.size()) < limits_.waitingPerAddress) {
        state.waiting.push_back({ socket, ssl });
    } else {
        if (ssl)
            SSL_write(ssl, busy, sizeof busy - 1);
        else
            ::send(socket, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        closeConnection(socket, ssl);
    }
}

// Under mutex_.
void Listener::dispatch(Accepted connection, const std::string& address)
{
    pool_->enqueue([this, connection, address] {
        serveConnection(connection.socket, connection.ssl);
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = addresses_.find(address);
        if (found == addresses_.end())
            return;
        Address& state = found->second;
        if (!state.waiting.empty() && running_ && pool_) {
            const Accepted next = state.waiting.front();
            state.waiting.pop_front();
            dispatch(next, address);
        } else if (--state.active == 0 && state.waiting.empty()) {
            addresses_.erase(found);
        }
    });
}

void Listener::closeConnection(int socket, SSL* ssl)
{
    SSL_free(ssl);
    ::close(socket);
}

void Listener::serveConnection(int socket, SSL* ssl)
{
    ClientConnection connection(socket, ssl, limits_, running_);
    serveRequests(connection);
    if (connection.timedOut())
        connection.answerTimeout();
    if (connection.closeAfterAnswer || connection.timedOut())
        drain(socket);
    if (ssl)
        SSL_shutdown(ssl);
    closeConnection(socket, ssl);
}

// The keep-alive loop: the connection's requests in turn, each with its own
// read deadlines, up to 1000 of them.
void Listener::serveRequests(ClientConnection& connection)
{
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_[std::this_thread::get_id()] = &connection;
    }
    connection.limitReading(limits_.headerMs);
    bool first = true;
    for (int count = 1000; count > 0 && running_; --count) {
        if (!connection.waitForRequest(first ? limits_.headerMs : limits_.keepAliveMs))
            break;
        if (!first)
            connection.limitReading(limits_.headerMs);
        first = false;
        connection.bodyBytes = 0;
        connection.startHead();
        bool closed = false;
        const bool answered = process_request(connection, count == 1, closed, nullptr);
        if (connection.bodyBytes >= largeRequestBytes && --largeRequests_ == 0)
            malloc_trim(0);
        if (!answered || closed || connection.timedOut() || connection.closeAfterAnswer)
            break;
    }
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.erase(std::this_thread::get_id());
}

ClientConnection* Listener::current()
{
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    const auto found = connections_.find(std::this_thread::get_id());
    return found != connections_.end() ? found->second : nullptr;
}

} // namespace service
