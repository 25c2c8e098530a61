// Requests per second and latencies of "geocodeImage" on a large database,
// with several clients in parallel over loopback HTTP.
//
// "50@R" lines: 50 clients paced to R requests per second in all.
//
// Usage: bench_service [FIXES] [CAMERAS] [SECONDS] [DATABASE]
// (defaults: 1000000 fixes, 100 cameras, 5 s per run). A DATABASE path that
// already holds the bench data is reused, which saves building it again.

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"
#include "service/timegeo.h"

#include "bench/benchdata.h"
#include "bench/loadclients.h"

#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;
using bench::Clock;
using bench::seconds;

namespace {

constexpr int64_t start = 1784023200000LL; // 2026-07-14 10:00 UTC
constexpr int64_t stepMs = 5000;          // a fix every 5 s
constexpr int64_t offsetMs = 3797000;     // every camera 1 h 3 min 17 s ahead

// Times of requests sent the way Qt 5's HTTP client sends them: head and body
// in two writes on a socket with Nagle's algorithm on, so the body leaves only
// once the head is acknowledged. Median, 90th percentile and worst in ms.
std::vector<double> splitWrites(int port, const std::string& body, int count)
{
    std::vector<double> ms;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return ms;
    }
    const std::string head = "PUT /geocodeImage HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                             "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    for (int i = 0; i < count; ++i) {
        const auto begin = Clock::now();
        if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0 || ::send(fd, body.data(), body.size(), MSG_NOSIGNAL) < 0)
            break;
        // The answer: its head, then as many bytes as it announces.
        std::string answer;
        char chunk[4096];
        size_t end = std::string::npos;
        size_t length = 0;
        while (end == std::string::npos || answer.size() < end + 4 + length) {
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            answer.append(chunk, static_cast<size_t>(got));
            if (end == std::string::npos && (end = answer.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = answer.find("Content-Length: ");
                length = at < end ? std::stoul(answer.substr(at + 16)) : 0;
            }
        }
        ms.push_back(seconds(Clock::now() - begin) * 1000);
    }
    ::close(fd);
    std::sort(ms.begin(), ms.end());
    return ms;
}

// geocodeImage at `clients` clients (see bench::runClients): photos of
// random cameras at random moments of the track.
bench::LoadRun measure(int port, const std::string& userId, int cameras, int64_t fixes, int clients, double duration,
                       double rate = 0)
{
    return bench::runClients({ port }, clients, duration, rate, [&](int, std::mt19937_64& random) {
        const int camera = static_cast<int>(random() % static_cast<uint64_t>(cameras));
        const int64_t moment = start + static_cast<int64_t>(random() % static_cast<uint64_t>((fixes - 1) * stepMs));
        const json request = { { "GPSProcessingMethod", "" },
                               { "dateTimeOriginal", service::formatWallClock(moment + offsetMs) },
                               { "fileNumber", "" },
                               { "internalSerialNumber", "" },
                               { "model", "Bench camera" },
                               { "serialNumber", std::to_string(camera) },
                               { "shutterCount", 0 },
                               { "timeZone", "" },
                               { "userID", userId } };
        return bench::Request { "/geocodeImage", request.dump() };
    });
}

} // namespace

int main(int argc, char** argv)
{
    const int64_t fixes = argc > 1 ? std::max<int64_t>(2, std::atoll(argv[1])) : 1000000;
    const int cameras = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    const double duration = argc > 3 ? std::max(0.5, std::atof(argv[3])) : 5.0;
    QTemporaryDir dir;
    const std::string path = argc > 4 ? std::string(argv[4]) : dir.filePath("bench.db").toStdString();

    service::Store store;
    std::string error;
    if (!store.open(path, &error)) {
        std::fprintf(stderr, "bench_service: %s\n", error.c_str());
        return 1;
    }
    // The clock of the service stands at the moment the codes are shown, and
    // after the end of the track once the photos are asked for (positions
    // ahead of the service's clock are not given).
    std::atomic<int64_t> clock { start };
    service::Api api(store, [&clock] { return clock.load(); });

    std::string userId;
    const auto users = store.users().value_or(std::vector<service::User>());
    if (!users.empty() && store.fixCount(users.front().id) == fixes) {
        userId = users.front().userId;
        std::printf("reusing %lld fixes in %s\n", static_cast<long long>(fixes), path.c_str());
    } else if (!users.empty()) {
        std::fprintf(stderr, "bench_service: %s holds other data\n", path.c_str());
        return 1;
    } else {
        const auto user = store.createUser("Bench phone");
        userId = user->userId;
        const auto begin = Clock::now();
        std::vector<service::Fix> batch;
        batch.reserve(100000);
        for (int64_t i = 0; i < fixes; ++i) {
            batch.push_back(bench::walkFix(start, i, stepMs));
            if (batch.size() == batch.capacity() || i + 1 == fixes) {
                if (!store.addFixes(user->id, batch)) {
                    std::fprintf(stderr, "bench_service: cannot store fixes\n");
                    return 1;
                }
                batch.clear();
            }
        }
        std::printf("stored %lld fixes (%.1f days of a fix every 5 s) in %.1f s\n", static_cast<long long>(fixes),
                    fixes * stepMs / 86400000.0, seconds(Clock::now() - begin));
    }
    // Every camera synchronized once, at the start of the track.
    const auto known = store.cameras(users.empty() ? store.userById(userId)->id : users.front().id);
    if (!known || known->size() < static_cast<size_t>(cameras)) {
        for (int camera = 0; camera < cameras; ++camera) {
            const auto code = api.createPageCode("", "", true);
            const json request = { { "dateTimeOriginal", service::formatWallClock(start + offsetMs) },
                                   { "elapsedTime", 0 },
                                   { "model", "Bench camera" },
                                   { "serialNumber", std::to_string(camera) },
                                   { "syncID", code.json["syncID"] },
                                   { "userID", userId } };
            const service::Reply reply = api.syncCamera(request.dump());
            if (reply.status != 200) {
                std::fprintf(stderr, "bench_service: cannot synchronize: %s\n", reply.text().c_str());
                return 1;
            }
        }
    }

    clock = start + fixes * stepMs;

    service::HttpServer server(api);
    if (!server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "bench_service: %s\n", error.c_str());
        return 1;
    }
    server.start();
    std::printf("geocodeImage on %lld fixes, %d cameras, %.1f s per run, %u hardware threads\n",
                static_cast<long long>(fixes), cameras, duration, std::thread::hardware_concurrency());
    std::printf("%8s %10s %10s %9s %9s %9s %9s %9s\n", "clients", "requests", "req/s", "p50 ms", "p90 ms", "p99 ms",
                "max ms", "failed");
    for (int clients : { 1, 5, 50 }) {
        const bench::LoadRun run = measure(server.port(), userId, cameras, fixes, clients, duration);
        std::printf("%8d %10lld %10.0f %9.2f %9.2f %9.2f %9.2f %9lld\n", clients, static_cast<long long>(run.requests),
                    run.rate, run.p50, run.p90, run.p99, run.max, static_cast<long long>(run.failures));
        std::fflush(stdout);
    }
    // Below saturation: 50 people's programs at a steady total rate.
    for (double rate : { 1000.0, 3000.0, 6000.0 }) {
        const bench::LoadRun run = measure(server.port(), userId, cameras, fixes, 50, duration, rate);
        std::printf("%8s %10lld %10.0f %9.2f %9.2f %9.2f %9.2f %9lld\n", ("50@" + std::to_string(int(rate))).c_str(),
                    static_cast<long long>(run.requests), run.rate, run.p50, run.p90, run.p99, run.max,
                    static_cast<long long>(run.failures));
        std::fflush(stdout);
    }
    const json request = { { "dateTimeOriginal", service::formatWallClock(start + offsetMs + 3600000) },
                           { "model", "Bench camera" }, { "serialNumber", "0" }, { "userID", userId } };
    const std::vector<double> split = splitWrites(server.port(), request.dump(), 50);
    if (!split.empty())
        std::printf("head and body in two writes, Nagle on (as Qt 5 sends): %zu requests, median %.2f ms, "
                    "p90 %.2f ms, worst %.2f ms\n",
                    split.size(), split[split.size() / 2], split[split.size() * 9 / 10], split.back());
    server.stop();
    return 0;
}
