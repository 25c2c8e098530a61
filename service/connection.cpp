#include "service/connection.h"

#include "service/limits.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace service {

namespace {

constexpr char tooSlow[] =
    "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";

int addressPort(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

} // namespace

std::string addressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return text;
}

ClientConnection::ClientConnection(int socket, SSL* ssl, const ServerLimits& limits,
                                   const std::atomic<bool>& serving)
    : socket_(socket), ssl_(ssl), limits_(limits), serving_(serving), buffer_(64 * 1024)
{
}

bool ClientConnection::is_readable() const
{
    return buffered() || waitFor(POLLIN, remainingMs());
}

bool ClientConnection::is_writable() const
{
    return waitFor(POLLOUT, limits_.writeMs);
}

ssize_t ClientConnection::read(char* ptr, size_t size)
{
    if (begin_ == end_ && !fill())
        return failed_ ? -1 : 0;
    const size_t count = std::min(size, end_ - begin_);
    std::copy(buffer_.data() + begin_, buffer_.data() + begin_ + count, ptr);
    begin_ += count;
    if (!headDone_)
        keepHead(ptr, count);
    return static_cast<ssize_t>(count);
}

ssize_t ClientConnection::write(const char* ptr, size_t size)
{
    if (timedOut_) {
        // Whatever the library answers to a request cut short, the client
        // learns that it was too slow; the connection then ends.
        if (!answerTimeout())
            return -1;
        return static_cast<ssize_t>(size);
    }
    return sendAll(ptr, size);
}

void ClientConnection::startHead()
{
    head_.clear();
    headDone_ = false;
    headTooLong_ = false;
}

std::optional<std::string> ClientConnection::head() const
{
    if (!headDone_ || headTooLong_)
        return std::nullopt;
    return head_;
}

void ClientConnection::keepHead(const char* ptr, size_t size)
{
    // The library reads a head a byte at a time; what follows its blank line
    // is body and is not kept.
    const size_t from = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(ptr, std::min(size, maxHeadBytes + 1 - std::min(head_.size(), maxHeadBytes)));
    const size_t end = head_.find("\n\r\n", from);
    const size_t bare = head_.find("\n\n", from);
    const size_t blank = std::min(end == std::string::npos ? end : end + 3, bare == std::string::npos ? bare : bare + 2);
    if (blank != std::string::npos) {
        head_.resize(blank);
        headDone_ = true;
    }
    if (head_.size() > maxHeadBytes) {
        headTooLong_ = true;
        headDone_ = true;
    }
}

bool ClientConnection::answerTimeout()
{
    if (timeoutAnswered_)
        return true;
    timeoutAnswered_ = true;
    return sendAll(tooSlow, sizeof tooSlow - 1) >= 0;
}

void ClientConnection::get_remote_ip_and_port(std::string& ip, int& port) const
{
    endpoint(&getpeername, ip, port);
}

void ClientConnection::get_local_ip_and_port(std::string& ip, int& port) const
{
    endpoint(&getsockname, ip, port);
}

void ClientConnection::limitReading(int ms)
{
    deadline_ = Clock::now() + std::chrono::milliseconds(ms);
}

bool ClientConnection::waitForRequest(int ms)
{
    if (buffered())
        return true;
    for (int waited = 0; waited < ms && serving_; waited += 100) {
        if (waitFor(POLLIN, std::min(100, ms - waited)))
            return true;
    }
    return false;
}

bool ClientConnection::buffered() const
{
    return begin_ < end_ || (ssl_ && SSL_pending(ssl_) > 0);
}

ssize_t ClientConnection::sendAll(const char* ptr, size_t size)
{
    size_t written = 0;
    while (written < size) {
        if (!waitFor(POLLOUT, limits_.writeMs))
            return -1;
        if (ssl_) {
            // Tried again with the same bytes until they are sent.
            ERR_clear_error();
            const int sent = SSL_write(ssl_, ptr + written, static_cast<int>(std::min<size_t>(size - written, 1 << 20)));
            const int error = sent > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, sent);
            if (error == SSL_ERROR_WANT_READ && !waitFor(POLLIN, limits_.writeMs))
                return -1;
            if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return -1;
            written += static_cast<size_t>(std::max(sent, 0));
            continue;
        }
        // Never blocks: a client that stops reading is given up after the
        // write limit above instead of holding the worker.
        const ssize_t sent = ::send(socket_, ptr + written, size - written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (sent <= 0)
            return -1;
        written += static_cast<size_t>(sent);
    }
    return static_cast<ssize_t>(written);
}

int ClientConnection::remainingMs() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool ClientConnection::waitFor(short events, int ms) const
{
    pollfd entry { socket_, events, 0 };
    for (;;) {
        const int ready = ::poll(&entry, 1, ms);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0;
    }
}

bool ClientConnection::fill()
{
    begin_ = end_ = 0;
    const int left = remainingMs();
    if (left == 0 || (!(ssl_ && SSL_pending(ssl_) > 0) && !waitFor(POLLIN, left))) {
        timedOut_ = true;
        failed_ = true;
        return false;
    }
    return ssl_ ? receiveTls() : receive();
}

// Reads the next TLS record; one that arrives in pieces must be whole within
// the same deadline.
bool ClientConnection::receiveTls()
{
    for (;;) {
        ERR_clear_error();
        const int got = SSL_read(ssl_, buffer_.data(), static_cast<int>(buffer_.size()));
        if (got > 0) {
            end_ = static_cast<size_t>(got);
            return true;
        }
        const int error = SSL_get_error(ssl_, got);
        const bool waiting = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
        if (waiting && waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, remainingMs()))
            continue;
        timedOut_ = waiting;
        failed_ = error != SSL_ERROR_ZERO_RETURN;
        return false;
    }
}

// Reads what the socket holds, without TLS.
bool ClientConnection::receive()
{
    for (;;) {
        const ssize_t got = ::recv(socket_, buffer_.data(), buffer_.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failed_ = got < 0;
            return false;
        }
        end_ = static_cast<size_t>(got);
        // Acknowledge what was read at once. A client that sends a request's
        // head and body as two segments without TCP_NODELAY holds the body
        // back until the head is acknowledged, and Linux delays that
        // acknowledgement by up to 40 ms on a connection that answers as fast
        // as it is asked. The option does not stick, so it is set again after
        // every read.
        int yes = 1;
        setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
        return true;
    }
}

void ClientConnection::endpoint(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (query(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        ip = addressText(address);
        port = addressPort(address);
    }
}

} // namespace service
