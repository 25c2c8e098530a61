#pragma once

#include "service/serversettings.h"

#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace service {

// The address of a socket's peer or of its own end, as text.
std::string addressText(const sockaddr_storage& address);

// One client connection as the HTTP library reads and writes it. Reads are
// buffered here, so pipelined requests wait in the buffer for their turn,
// and every read respects the deadline of the request being read: a client
// that sends a byte now and then cannot hold a worker for longer than that.
class ClientConnection final : public httplib::Stream {
public:
    // With `ssl` (after its handshake, on a socket that does not block) the
    // bytes travel through TLS; the connection stops waiting for requests
    // once `serving` turns false.
    ClientConnection(int socket, SSL* ssl, const ServerLimits& limits, const std::atomic<bool>& serving);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return socket_; }

    // Tells a client whose request ran out of time so, once.
    bool answerTimeout();
    // Starts the clock of the next read phase: what is read from now on must
    // arrive within `ms`.
    void limitReading(int ms);
    bool timedOut() const { return timedOut_; }
    // Waits up to `ms` for the first byte of the next request; gives up at
    // once when the service stops.
    bool waitForRequest(int ms);

    // The connection ends after the current answer (a refused request whose
    // body was not read).
    bool closeAfterAnswer = false;
    // The length of the current request's body as announced.
    size_t bodyBytes = 0;

    // Keeps the bytes read from now on up to the blank line that ends a
    // request's head (at most maxHeadBytes): the head as the client sent it.
    void startHead();
    // That head; nothing while it is incomplete or when it was longer.
    std::optional<std::string> head() const;

private:
    using Clock = std::chrono::steady_clock;

    // Bytes read but not yet taken, here or inside TLS.
    bool buffered() const;
    ssize_t sendAll(const char* ptr, size_t size);
    int remainingMs() const;
    bool waitFor(short events, int ms) const;
    bool fill();
    bool receive();
    bool receiveTls();
    void keepHead(const char* ptr, size_t size);
    void endpoint(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const;

    int socket_;
    SSL* ssl_;
    const ServerLimits& limits_;
    const std::atomic<bool>& serving_;
    std::vector<char> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    Clock::time_point deadline_ = Clock::now();
    bool timedOut_ = false;
    bool timeoutAnswered_ = false;
    bool failed_ = false;
    std::string head_;
    bool headDone_ = true;
    bool headTooLong_ = false;
};

} // namespace service
