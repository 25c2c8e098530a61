#include "service/httpserver.h"

#include "service/desktopapi.h"
#include "service/phonepage.h"
#include "service/qrsvg.h"
#include "service/trackers.h"
#include "service/trackimport.h"

#include <QTemporaryFile>

#include <httplib.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace service {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string addressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return text;
}

int addressPort(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

// One client connection as the HTTP library reads and writes it. Reads are
// buffered here, so pipelined requests wait in the buffer for their turn,
// and every read respects the deadline of the request being read: a client
// that sends a byte now and then cannot hold a worker for longer than that.
class ClientConnection final : public httplib::Stream {
public:
    // With `ssl` (after its handshake) the bytes travel through TLS.
    ClientConnection(int socket, SSL* ssl, const ServerLimits& limits, const std::atomic<bool>& serving)
        : socket_(socket), ssl_(ssl), limits_(limits), serving_(serving), buffer_(64 * 1024)
    {
    }

    bool is_readable() const override { return buffered() || waitFor(POLLIN, remainingMs()); }
    bool is_writable() const override { return waitFor(POLLOUT, limits_.writeMs); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (begin_ == end_ && !fill())
            return failed_ ? -1 : 0;
        const size_t count = std::min(size, end_ - begin_);
        std::copy(buffer_.data() + begin_, buffer_.data() + begin_ + count, ptr);
        begin_ += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        if (timedOut_) {
            // Whatever the library answers to a request cut short, the
            // client learns that it was too slow; the connection then ends.
            if (!answerTimeout())
                return -1;
            return static_cast<ssize_t>(size);
        }
        return sendAll(ptr, size);
    }

    // Tells a client whose request ran out of time so, once.
    bool answerTimeout()
    {
        static const char tooSlow[] = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n";
        if (timeoutAnswered_)
            return true;
        timeoutAnswered_ = true;
        return sendAll(tooSlow, sizeof tooSlow - 1) >= 0;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { endpoint(&getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { endpoint(&getsockname, ip, port); }
    socket_t socket() const override { return socket_; }

    // Starts the clock of the next read phase: what is read from now on must
    // arrive within `ms`.
    void limitReading(int ms) { deadline_ = SteadyClock::now() + std::chrono::milliseconds(ms); }
    bool timedOut() const { return timedOut_; }

    // Waits up to `ms` for the first byte of the next request; gives up at
    // once when the service stops.
    bool waitForRequest(int ms)
    {
        if (buffered())
            return true;
        for (int waited = 0; waited < ms && serving_; waited += 100) {
            if (waitFor(POLLIN, std::min(100, ms - waited)))
                return true;
        }
        return false;
    }

    // The connection ends after the current answer (a refused request whose
    // body was not read).
    bool closeAfterAnswer = false;
    size_t bodyBytes = 0;

private:
    // Bytes read but not yet taken, here or inside TLS.
    bool buffered() const { return begin_ < end_ || (ssl_ && SSL_pending(ssl_) > 0); }

    ssize_t sendAll(const char* ptr, size_t size)
    {
        size_t written = 0;
        while (written < size) {
            if (!waitFor(POLLOUT, limits_.writeMs))
                return -1;
            if (ssl_) {
                // The socket's send time limit bounds a client that takes nothing.
                const int sent = SSL_write(ssl_, ptr + written, static_cast<int>(std::min<size_t>(size - written, 1 << 20)));
                if (sent <= 0)
                    return -1;
                written += static_cast<size_t>(sent);
                continue;
            }
            const ssize_t sent = ::send(socket_, ptr + written, size - written, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return -1;
            written += static_cast<size_t>(sent);
        }
        return static_cast<ssize_t>(written);
    }

    int remainingMs() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - SteadyClock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

    bool waitFor(short events, int ms) const
    {
        pollfd entry { socket_, events, 0 };
        for (;;) {
            const int ready = ::poll(&entry, 1, ms);
            if (ready < 0 && errno == EINTR)
                continue;
            return ready > 0;
        }
    }

    bool fill()
    {
        begin_ = end_ = 0;
        const int left = remainingMs();
        if (left == 0 || (!(ssl_ && SSL_pending(ssl_) > 0) && !waitFor(POLLIN, left))) {
            timedOut_ = true;
            failed_ = true;
            return false;
        }
        if (ssl_) {
            const int got = SSL_read(ssl_, buffer_.data(), static_cast<int>(buffer_.size()));
            if (got <= 0) {
                failed_ = SSL_get_error(ssl_, got) != SSL_ERROR_ZERO_RETURN;
                return false;
            }
            end_ = static_cast<size_t>(got);
            return true;
        }
        for (;;) {
            const ssize_t got = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                failed_ = got < 0;
                return false;
            }
            end_ = static_cast<size_t>(got);
            // Acknowledge what was read at once. A client that sends a
            // request's head and body as two segments without TCP_NODELAY
            // holds the body back until the head is acknowledged, and Linux
            // delays that acknowledgement by up to 40 ms on a connection that
            // answers as fast as it is asked. The option does not stick, so
            // it is set again after every read.
            int yes = 1;
            setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
            return true;
        }
    }

    void endpoint(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const
    {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        if (query(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            ip = addressText(address);
            port = addressPort(address);
        }
    }

    int socket_;
    SSL* ssl_;
    const ServerLimits& limits_;
    const std::atomic<bool>& serving_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    SteadyClock::time_point deadline_ = SteadyClock::now();
    bool timedOut_ = false;
    bool timeoutAnswered_ = false;
    bool failed_ = false;
};

// The connection a worker thread serves, for the routing hooks.
thread_local ClientConnection* currentConnection = nullptr;

// Large requests leave freed memory in the allocator's arenas; once the last
// of them is answered it goes back to the system.
std::atomic<int> largeRequests { 0 };
constexpr size_t largeRequestBytes = 64 * 1024;

} // namespace

// The HTTP library's request parsing and routing, under a connection layer of
// the service's own: an accept loop that spreads connections over the
// workers with a cap per client address, and the keep-alive loop over a
// ClientConnection that enforces the read deadlines.
class Listener : public httplib::Server {
public:
    explicit Listener(const ServerLimits& limits) : limits_(limits) {}
    const ServerLimits& limits() const { return limits_; }

    int listeningSocket() const { return svr_sock_; }

    bool serve()
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
        while (running_) {
            pollfd entry { listening, POLLIN, 0 };
            if (::poll(&entry, 1, 100) <= 0)
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
            admit(socket, addressText(address));
        }
        pool.shutdown(); // serves the admitted connections to their end
        pool_ = nullptr;
        closeListening();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : addresses_)
            for (const int socket : entry.second.waiting)
                ::close(socket);
        addresses_.clear();
        return true;
    }

    void waitUntilServing()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        started_.wait(lock, [this] { return running_ || finished_; });
    }
    void markFinished()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        started_.notify_all();
    }

    // Wakes the accept loop; the socket is closed by whoever owns it last,
    // so its number cannot be reused under the loop's feet.
    void halt()
    {
        running_ = false;
        const int listening = svr_sock_;
        if (listening != INVALID_SOCKET)
            ::shutdown(listening, SHUT_RDWR);
    }

    // Serves HTTPS from now on; false when the files are no usable
    // certificate and matching key.
    bool useTls(const TlsFiles& files)
    {
        // A client gone in the middle of an answer must not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        tls_ = SSL_CTX_new(TLS_server_method());
        return tls_ && SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) == 1
            && SSL_CTX_use_certificate_chain_file(tls_, files.certificate.c_str()) == 1
            && SSL_CTX_use_PrivateKey_file(tls_, files.key.c_str(), SSL_FILETYPE_PEM) == 1
            && SSL_CTX_check_private_key(tls_) == 1;
    }

    ~Listener() override
    {
        closeListening();
        SSL_CTX_free(tls_);
    }

private:
    void closeListening()
    {
        const int listening = svr_sock_.exchange(INVALID_SOCKET);
        if (listening != INVALID_SOCKET)
            ::close(listening);
    }

    struct Address {
        int active = 0;
        std::deque<int> waiting;
    };

    void admit(int socket, const std::string& address)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Address& state = addresses_[address];
        if (state.active < limits_.perAddress) {
            ++state.active;
            dispatch(socket, address);
        } else if (static_cast<int>(state.waiting.size()) < limits_.waitingPerAddress) {
            state.waiting.push_back(socket);
        } else {
            static const char refusal[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                          "Connection: close\r\n\r\n";
            ::send(socket, refusal, sizeof refusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(socket);
        }
    }

    // Under mutex_.
    void dispatch(int socket, const std::string& address)
    {
        pool_->enqueue([this, socket, address] {
            serveConnection(socket);
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = addresses_.find(address);
            if (found == addresses_.end())
                return;
            Address& state = found->second;
            if (!state.waiting.empty() && running_ && pool_) {
                const int next = state.waiting.front();
                state.waiting.pop_front();
                dispatch(next, address);
            } else if (--state.active == 0 && state.waiting.empty()) {
                addresses_.erase(found);
            }
        });
    }

    void serveConnection(int socket)
    {
        SSL* ssl = nullptr;
        if (tls_) {
            // Every wait on the socket is bounded, so neither the handshake nor
            // a TLS record sent in pieces holds a worker for long.
            const timeval receive { limits_.headerMs / 1000, (limits_.headerMs % 1000) * 1000 };
            const timeval send { limits_.writeMs / 1000, (limits_.writeMs % 1000) * 1000 };
            setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
            setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
            ssl = SSL_new(tls_);
            if (!ssl || SSL_set_fd(ssl, socket) != 1 || SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                ::close(socket);
                return;
            }
        }
        ClientConnection connection(socket, ssl, limits_, running_);
        currentConnection = &connection;
        connection.limitReading(limits_.headerMs);
        bool first = true;
        for (int count = 1000; count > 0 && running_; --count) {
            if (!connection.waitForRequest(first ? limits_.headerMs : limits_.keepAliveMs))
                break;
            if (!first)
                connection.limitReading(limits_.headerMs);
            first = false;
            connection.bodyBytes = 0;
            bool closed = false;
            const bool answered = process_request(connection, count == 1, closed, nullptr);
            if (connection.bodyBytes >= largeRequestBytes && --largeRequests == 0)
                malloc_trim(0);
            if (!answered || closed || connection.timedOut() || connection.closeAfterAnswer)
                break;
        }
        currentConnection = nullptr;
        if (connection.timedOut())
            connection.answerTimeout();
        if (connection.closeAfterAnswer || connection.timedOut()) {
            // Read what the client still sends, for a moment at most, so that
            // closing does not reset the connection before the answer is read.
            ::shutdown(socket, SHUT_WR);
            char sink[4096];
            const auto until = SteadyClock::now() + std::chrono::milliseconds(300);
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
                pollfd entry { socket, POLLIN, 0 };
                if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0
                    || ::recv(socket, sink, sizeof sink, 0) <= 0)
                    break;
            }
        }
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ::close(socket);
    }

    const ServerLimits limits_;
    SSL_CTX* tls_ = nullptr;
    std::atomic<bool> running_ { false };
    bool finished_ = false;
    std::mutex mutex_;
    std::condition_variable started_;
    std::map<std::string, Address> addresses_;
    httplib::ThreadPool* pool_ = nullptr;
};

namespace {

const char* const jsonType = "application/json; charset=utf-8";

// A text as a header value: UTF-8 with '%', control bytes and bytes above
// 0x7E percent-encoded, so line breaks and accents survive the trip.
std::string headerValue(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string value;
    value.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '%') {
            value += '%';
            value += hex[byte >> 4];
            value += hex[byte & 0x0f];
        } else {
            value += c;
        }
    }
    return value;
}

void answer(httplib::Response& response, const Reply& reply)
{
    response.status = reply.status;
    if (reply.status == 204) {
        // A 204 answer has no body in HTTP: clients do not read one, and
        // bytes sent all the same would be taken for the start of the next
        // answer on the connection. Its texts travel as headers instead, which
        // the desktop client turns back into the usual head and body.
        response.set_header("Kestrel-Head", headerValue(reply.json.value("head", std::string())));
        response.set_header("Kestrel-Body", headerValue(reply.json.value("body", std::string())));
        return;
    }
    response.set_content(reply.text(), jsonType);
}

// A route whose body is read as it arrives: at most maxRequestBytes are kept;
// a larger body is read to its end and dropped, and the request refused.
// (The library's own limit is that of track files, which stream to disk.)
httplib::Server::HandlerWithContentReader withBody(httplib::Server::Handler handle)
{
    return [handle](const httplib::Request& request, httplib::Response& response,
                    const httplib::ContentReader& content) {
        std::string body;
        bool tooLarge = false;
        const bool complete = content([&](const char* data, size_t length) {
            if (body.size() + length > maxRequestBytes)
                tooLarge = true;
            else
                body.append(data, length);
            return true;
        });
        if (tooLarge || response.status == 413) {
            answer(response, Reply::make(413, "Request too large", "The service cannot answer this request (HTTP status 413)."));
            return;
        }
        if (!complete) {
            answer(response, Reply::make(400, "Bad request", "The request's body did not arrive whole."));
            return;
        }
        httplib::Request whole = request;
        whole.body = std::move(body);
        handle(whole, response);
    };
}

std::string escapeHtml(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string errorPage(const std::string& title, const std::string& text)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + escapeHtml(title)
        + "</title></head><body style=\"font-family:sans-serif\"><h1>" + escapeHtml(title) + "</h1><p>"
        + escapeHtml(text) + "</p></body></html>";
}

const char* statusHead(int status)
{
    switch (status) {
    case 400: return "Bad request";
    case 404: return "Not found";
    case 405: return "Method not allowed";
    case 413: return "Request too large";
    default: return status >= 500 ? "Server error" : "Request refused";
    }
}

} // namespace

std::string syncPage(const std::string& code, const std::string& phoneName)
{
    // The code only contains hex digits; it is escaped all the same.
    const std::string id = escapeHtml(code);
    return R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestrel synchronization code</title>
<style>
body { font-family: sans-serif; text-align: center; margin: 0; padding: 1em; background: #fff; color: #222; }
#code { width: min(90vw, 80vh); height: min(90vw, 80vh); margin: 0 auto; }
#code svg { width: 100%; height: 100%; }
#state { color: #555; }
</style></head><body>
<h1>Synchronize your camera</h1>
<p>Photograph this code with the camera, then drop the photo on Kestrel (within 15 minutes).</p>
<div id="code"></div>
<p id="state">)" + escapeHtml(phoneName) + R"(</p>
<script>
let code = ")" + id + R"(";
const box = document.getElementById("code");
const state = document.getElementById("state");
let busy = false;
let timer = null;
async function start() {
  if (!code) {
    // The phone's identifier and key come in the fragment (#userID=..&phoneKey=..),
    // which the browser never sends with the page's address.
    const given = new URLSearchParams(location.hash.slice(1));
    if (!given.get("userID") || !given.get("phoneKey")) {
      box.style.display = "none";
      state.textContent = "Open this page from your phone: its address carries the phone's key (#userID=...&phoneKey=...).";
      return;
    }
    try {
      const reply = await fetch("phone/syncCode", { method: "POST", cache: "no-store",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ userID: given.get("userID") || "", phoneKey: given.get("phoneKey") || "" }) });
      const answer = await reply.json();
      if (!reply.ok) { box.style.display = "none"; state.textContent = answer.body || "This page needs the phone's key."; return; }
      code = answer.syncID;
    } catch (e) { state.textContent = "The service does not answer."; return; }
  }
  timer = setInterval(refresh, 200);
  refresh();
}
async function refresh() {
  if (busy) return;
  busy = true;
  try {
    const reply = await fetch("sync/qr.svg?code=" + code + "&t=" + Date.now(), { cache: "no-store" });
    if (reply.ok) { box.innerHTML = await reply.text(); }
    else { box.innerHTML = ""; state.textContent = "This code has expired: reload the page for a new one."; clearInterval(timer); }
  } catch (e) { state.textContent = "The service does not answer."; }
  busy = false;
}
start();
</script></body></html>
)";
}

HttpServer::HttpServer(Api& api, ServerLimits limits, const TlsFiles& tls)
    : api_(api), server_(std::make_unique<Listener>(limits)),
      intake_(std::make_unique<TrackerIntake>(api.store(), [&api] { return api.now(); }))
{
    if (!tls.certificate.empty() || !tls.key.empty())
        valid_ = server_->useTls(tls);
    httplib::Server& server = *server_;
    // Track files may be large; every other request is refused beyond
    // maxRequestBytes before its body is read, and a chunked one keeps at most
    // that much (withBody).
    server.set_payload_max_length(maxTrackBytes);
    // The listening socket: a port in use must be refused, not shared (the
    // library's default), and a burst of new clients must not wait for a
    // retry behind the library's backlog of 5.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    // Checks of every request, before any route sees it.
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        ClientConnection* connection = currentConnection;
        const auto refuse = [&](int status, const char* head, const std::string& text) {
            answer(response, Reply::make(status, head, text));
            // The body was not read: nothing after it on this connection can
            // be trusted. The client hears that the connection closes, so
            // that it sends its next request on a new one.
            if (connection) {
                connection->closeAfterAnswer = true;
                response.set_header("Connection", "close");
            }
            return httplib::Server::HandlerResponse::Handled;
        };
        if (loopbackOnly_ && !isLoopbackHost(request.get_header_value("Host")))
            return refuse(403, "Forbidden host",
                          "This service answers only requests addressed to this computer (localhost).");
        const size_t lengths = request.get_header_value_count("Content-Length");
        if (lengths > 1) {
            const std::string first = request.get_header_value("Content-Length", 0);
            for (size_t i = 1; i < lengths; ++i)
                if (request.get_header_value("Content-Length", i) != first)
                    return refuse(400, "Bad request", "The request has conflicting Content-Length headers.");
        }
        if (lengths > 0 && request.has_header("Transfer-Encoding"))
            return refuse(400, "Bad request", "The request has both Content-Length and Transfer-Encoding.");
        const std::string lengthText = request.get_header_value("Content-Length");
        if (lengthText.find_first_not_of("0123456789") != std::string::npos || lengthText.size() > 18)
            return refuse(400, "Bad request", "The request's Content-Length is not a number.");
        const size_t length = lengthText.empty() ? 0 : std::stoull(lengthText);
        const bool track = request.path == "/importTrack";
        if (length > (track ? maxTrackBytes : maxRequestBytes))
            return refuse(413, "Request too large",
                          "The service cannot answer this request (HTTP status 413).");
        if (connection) {
            // The headers are in; the body gets its own time.
            // A track file gets a millisecond more for each kilobyte (1 MB/s at least).
            connection->limitReading(server_->limits().bodyMs + (track ? static_cast<int>(length / 1000) : 0));
            connection->bodyBytes = length;
            if (length >= largeRequestBytes)
                ++largeRequests;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    using Endpoint = Reply (Api::*)(const std::string&);
    const std::pair<const char*, Endpoint> endpoints[] = {
        { "/syncCamera", &Api::syncCamera },
        { "/geocodeImage", &Api::geocodeImage },
        { "/getSyncList", &Api::getSyncList },
        { "/removeCamera", &Api::removeCamera },
    };
    for (const auto& endpoint : endpoints) {
        const Endpoint method = endpoint.second;
        server.Put(endpoint.first, withBody([this, method](const httplib::Request& request, httplib::Response& response) {
            answer(response, (api_.*method)(request.body));
        }));
    }

    // What the desktop program shows of the service.
    using DesktopEndpoint = Reply (DesktopApi::*)(const std::string&);
    const std::pair<const char*, DesktopEndpoint> desktopEndpoints[] = {
        { "/serviceStatus", &DesktopApi::serviceStatus },
        { "/syncCode", &DesktopApi::syncCode },
    };
    for (const auto& endpoint : desktopEndpoints) {
        const DesktopEndpoint method = endpoint.second;
        server.Put(endpoint.first, [this, method](const httplib::Request& request, httplib::Response& response) {
            // No user named: answered for a loopback-only service's single
            // user, on a loopback connection, like the "/sync" page.
            DesktopApi desktop(api_, address_, port_, loopbackOnly_ && isLoopbackAddress(request.remote_addr));
            answer(response, (desktop.*method)(request.body));
        });
    }

    // The phone's side.
    server.Post("/phone/register", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.registerPhone(request.body));
    }));
    server.Post("/phone/fixes", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.uploadFixes(request.body));
    }));
    server.Post("/phone/syncCode", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response, api_.createSyncCode(request.body));
    }));
    server.Post("/phone/gpx", withBody([this](const httplib::Request& request, httplib::Response& response) {
        answer(response,
               api_.importGpx(request.get_param_value("userID"), request.get_param_value("phoneKey"),
                              request.get_param_value("timeZoneId"), request.body));
    }));

    // A track file of the desktop program's user, streamed to a temporary file
    // and read from there.
    server.Put("/importTrack", [this](const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& content) {
        // At most this many files on disk at once; a further one is read and dropped.
        constexpr int maxImports = 2;
        static std::atomic<int> importing { 0 };
        const bool admitted = ++importing <= maxImports;
        struct Leave {
            ~Leave() { --importing; }
        } leave;
        QTemporaryFile file;
        bool writable = admitted && file.open();
        int64_t received = 0;
        const bool complete = content([&](const char* data, size_t length) {
            received += static_cast<int64_t>(length);
            if (writable && received <= static_cast<int64_t>(maxTrackBytes))
                writable = file.write(data, static_cast<qint64>(length)) == static_cast<qint64>(length);
            return true;
        });
        if (!complete || received > static_cast<int64_t>(maxTrackBytes)) {
            const bool tooLarge = received > static_cast<int64_t>(maxTrackBytes) || response.status == 413;
            answer(response, tooLarge ? Reply::make(413, "Track file too large",
                                                    "Track files of up to " + std::to_string(maxTrackBytes >> 20)
                                                        + " MB can be imported.")
                                      : Reply::make(400, "Upload broken off", "The track file did not arrive whole."));
            return;
        }
        if (!admitted) {
            answer(response, Reply::make(503, "Busy", "The service is importing other tracks; try again in a minute."));
            return;
        }
        if (!writable || !file.flush()) {
            answer(response, Reply::make(500, "Server error", "The service has no room for the track file."));
            return;
        }
        answer(response, api_.importTrack(request.get_header_value("Kestrel-User-ID"),
                                          percentDecoded(request.get_header_value("Kestrel-File-Name")),
                                          file.fileName().toStdString()));
    });

    // The tracker apps and the phone page.
    addPhoneRoutes(server, api_, *intake_);

    // The page that shows a live synchronization code.
    server.Get("/sync", [this](const httplib::Request& request, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("Referrer-Policy", "no-referrer");
        const std::string userId = request.get_param_value("userID");
        const std::string phoneKey = request.get_param_value("phoneKey");
        const bool local = loopbackOnly_ && isLoopbackAddress(request.remote_addr);
        if (userId.empty() && phoneKey.empty() && !local) {
            // The phone's key may travel in the address's fragment, which
            // never reaches the service: the page asks for its code itself.
            response.set_content(syncPage(std::string(), std::string()), "text/html; charset=utf-8");
            return;
        }
        const Reply reply = api_.createPageCode(userId, phoneKey, local);
        if (reply.status != 200) {
            response.status = reply.status;
            response.set_content(errorPage(reply.json.value("head", std::string()), reply.json.value("body", std::string())),
                                 "text/html; charset=utf-8");
            return;
        }
        response.set_content(syncPage(reply.json.value("syncID", std::string()), reply.json.value("phoneName", std::string())),
                             "text/html; charset=utf-8");
    });
    server.Get("/sync/qr.svg", [this](const httplib::Request& request, httplib::Response& response) {
        const auto payload = api_.syncPayload(request.get_param_value("code"));
        response.set_header("Cache-Control", "no-store");
        if (!payload) {
            answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
            return;
        }
        response.set_content(qrSvg(*payload), "image/svg+xml");
    });
    server.Get("/sync/payload", [this](const httplib::Request& request, httplib::Response& response) {
        const auto payload = api_.syncPayload(request.get_param_value("code"));
        response.set_header("Cache-Control", "no-store");
        if (!payload) {
            answer(response, Reply::make(404, "Unknown synchronization code", "The code is unknown or has expired."));
            return;
        }
        response.set_content(*payload, jsonType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Kestrel service</title></head>"
                             "<body style=\"font-family:sans-serif\"><h1>Kestrel service</h1>"
                             "<p>Open <a href=\"sync\">/sync</a> to show a synchronization code for your camera.</p>"
                             "</body></html>",
                             "text/html; charset=utf-8");
    });

    // Every refusal (unknown path, wrong method, too large a body) is a JSON
    // answer with the usual envelope.
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty())
            answer(response, Reply::make(response.status, statusHead(response.status),
                                         "The service cannot answer this request (HTTP status "
                                             + std::to_string(response.status) + ")."));
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, Reply::make(500, "Server error", "The service failed to answer this request."));
    });
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::bind(const std::string& address, int port, std::string* error)
{
    if (port < 0 || port > 65535) {
        if (error)
            *error = "the port " + std::to_string(port) + " is not between 0 and 65535";
        return false;
    }
    bool bound = false;
    if (port == 0) {
        port_ = server_->bind_to_any_port(address);
        bound = port_ > 0;
    } else if (server_->bind_to_port(address, port)) {
        port_ = port;
        bound = true;
    }
    if (bound) {
        address_ = address;
        loopbackOnly_ = address == "localhost" || isLoopbackAddress(address);
        if (server_->listeningSocket() != INVALID_SOCKET)
            ::listen(server_->listeningSocket(), 256);
        return true;
    }
    if (error)
        *error = "cannot listen on " + address + " port " + std::to_string(port)
            + " (address not local, or the port is in use)";
    port_ = 0;
    return false;
}

bool HttpServer::run()
{
    const bool served = server_->serve();
    server_->markFinished();
    return served;
}

void HttpServer::start()
{
    thread_ = std::thread([this] { run(); });
    server_->waitUntilServing();
}

void HttpServer::stop()
{
    server_->halt();
    if (thread_.joinable())
        thread_.join();
}

bool isLoopbackAddress(const std::string& address)
{
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

bool isLoopbackHost(const std::string& host)
{
    if (host.empty())
        return true;
    std::string name;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':'))
            return false;
        name = host.substr(1, close - 1);
    } else {
        const size_t colon = host.find(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos)
            return false;
    }
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "localhost" || name == "::1")
        return true;
    in_addr parsed {};
    return name.rfind("127.", 0) == 0 && inet_pton(AF_INET, name.c_str(), &parsed) == 1;
}

} // namespace service
