// How long a client waits for an answer over HTTPS while others hold TLS
// handshakes open: CONNECTIONS connections from six loopback addresses
// (127.0.0.2 to 127.0.0.7) each send their ClientHello one byte a second, and
// reconnect whenever the service closes them. A client from 127.0.0.9 asks
// "GET /" again and again meanwhile, each time on a new connection.
//
// Usage: bench_slowhandshakes [CONNECTIONS] [SECONDS]
// (defaults: 100 connections, 20 s of attack).

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"

#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int answerLimitMs = 10000;

double msSince(Clock::time_point begin)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

// A connection to the service from `source`; -1 when it fails.
int connectFrom(int port, const std::string& source)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from {}, to {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (socket >= 0 && ::bind(socket, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0
        && ::connect(socket, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return socket;
    if (socket >= 0)
        ::close(socket);
    return -1;
}

// The ClientHello a usual client sends.
std::string clientHello(SSL_CTX* context)
{
    SSL* ssl = SSL_new(context);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl); // waits for the server's answer
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string hello(data, static_cast<size_t>(std::max(0L, length)));
    SSL_free(ssl);
    return hello;
}

// The time until the answer's first bytes to "GET /" over a new connection
// from 127.0.0.9; a negative value when none came within the limit.
double askOnce(SSL_CTX* context, int port)
{
    const auto begin = Clock::now();
    const int socket = connectFrom(port, "127.0.0.9");
    if (socket < 0)
        return -1;
    const timeval wait { answerLimitMs / 1000, 0 };
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    SSL* ssl = SSL_new(context);
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    char buffer[64];
    const bool answered = SSL_set_fd(ssl, socket) == 1 && SSL_connect(ssl) == 1
        && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0
        && SSL_read(ssl, buffer, sizeof buffer) > 0;
    const double ms = msSince(begin);
    SSL_free(ssl);
    ::close(socket);
    return answered && ms < answerLimitMs ? ms : -1;
}

void report(const char* what, std::vector<double> waits)
{
    const auto unanswered = std::count(waits.begin(), waits.end(), -1.0);
    waits.erase(std::remove(waits.begin(), waits.end(), -1.0), waits.end());
    std::sort(waits.begin(), waits.end());
    std::printf("%s: %zu answered, median %.1f ms, worst %.1f ms; %ld without an answer in %d s\n", what, waits.size(),
                waits.empty() ? 0.0 : waits[waits.size() / 2], waits.empty() ? 0.0 : waits.back(),
                static_cast<long>(unanswered), answerLimitMs / 1000);
}

// Keeps `count` connections sending their ClientHello a byte a second until
// `stop`; the number of times the service closed one of them.
int holdHandshakes(int port, int count, const std::string& hello, const std::atomic<bool>& stop)
{
    struct Slow {
        int socket = -1;
        size_t sent = 0;
        std::string source;
    };
    std::vector<Slow> slow(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        slow[static_cast<size_t>(i)].source = "127.0.0." + std::to_string(2 + i % 6);
    int closed = 0;
    while (!stop) {
        for (Slow& s : slow) {
            pollfd entry { s.socket, POLLIN, 0 };
            if (s.socket >= 0 && ::poll(&entry, 1, 0) > 0) { // closed by the service
                ::close(s.socket);
                s.socket = -1;
                ++closed;
            }
            if (s.socket < 0) {
                s.socket = connectFrom(port, s.source);
                s.sent = 0;
            }
            if (s.socket >= 0 && s.sent < hello.size())
                s.sent += ::send(s.socket, hello.data() + s.sent, 1, MSG_NOSIGNAL) == 1 ? 1 : 0;
        }
        for (int i = 0; i < 10 && !stop; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (const Slow& s : slow)
        if (s.socket >= 0)
            ::close(s.socket);
    return closed;
}

} // namespace

int main(int argc, char** argv)
{
    const int connections = std::clamp(argc > 1 ? std::atoi(argv[1]) : 100, 1, 900);
    const int seconds = std::clamp(argc > 2 ? std::atoi(argv[2]) : 20, 1, 3600);

    QTemporaryDir dir;
    const QString certificate = dir.filePath("cert.pem"), key = dir.filePath("key.pem");
    QProcess openssl;
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start("openssl", { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                               "-subj", "/CN=localhost", "-days", "1", "-keyout", key, "-out", certificate });
    service::Store store;
    std::string error;
    if (!dir.isValid() || !openssl.waitForFinished(60000) || openssl.exitCode() != 0
        || !store.open(dir.filePath("bench.db").toStdString(), &error)) {
        std::fprintf(stderr, "cannot make the certificate or the database %s\n", error.c_str());
        return 1;
    }
    service::Api api(store, [] { return 1784023200000LL; });
    service::HttpServer server(api, {}, { certificate.toStdString(), key.toStdString() });
    if (!server.valid() || !server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "cannot serve HTTPS: %s\n", error.c_str());
        return 1;
    }
    server.start();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());

    std::vector<double> alone;
    for (int i = 0; i < 20; ++i)
        alone.push_back(askOnce(context, server.port()));
    report("alone", alone);

    std::atomic<bool> stop { false };
    int closed = 0;
    std::thread attack([&] { closed = holdHandshakes(server.port(), connections, clientHello(context), stop); });
    std::this_thread::sleep_for(std::chrono::seconds(1)); // all of them connected
    std::vector<double> waits;
    const auto begin = Clock::now();
    while (msSince(begin) < seconds * 1000.0) {
        waits.push_back(askOnce(context, server.port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    stop = true;
    attack.join();
    char what[128];
    std::snprintf(what, sizeof what, "beside %d handshakes at a byte a second from 6 addresses", connections);
    report(what, waits);
    std::printf("slow handshakes closed by the service in %d s: %d\n", seconds, closed);
    SSL_CTX_free(context);
    server.stop();
    return 0;
}
