// Fixes ingested per second over the OsmAnd protocol: PHONES phones send
// their fixes at once, each on its own keep-alive connection over loopback,
// as GET requests the way OsmAnd and GPSLogger send them.
//
// Usage: bench_trackers [PHONES] [FIXES_PER_PHONE] (defaults: 50 phones, 400 fixes)

#include "service/api.h"
#include "service/httpserver.h"
#include "service/store.h"

#include <QTemporaryDir>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int phones = std::clamp(argc > 1 ? std::atoi(argv[1]) : 50, 1, 500);
    const int perPhone = std::clamp(argc > 2 ? std::atoi(argv[2]) : 400, 1, 100000);

    QTemporaryDir dir;
    service::Store store;
    std::string error;
    if (!dir.isValid() || !store.open(dir.filePath("bench.db").toStdString(), &error)) {
        std::fprintf(stderr, "cannot open the database: %s\n", error.c_str());
        return 1;
    }
    const int64_t start = 1784023200000LL; // 2026-07-14 10:00 UTC
    service::Api api(store, [start] { return start + 24 * 3600 * 1000LL; });
    service::HttpServer server(api);
    if (!server.bind("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "cannot listen: %s\n", error.c_str());
        return 1;
    }
    server.start();

    std::vector<std::string> keys;
    for (int p = 0; p < phones; ++p)
        keys.push_back(nlohmann::json::parse(api.registerPhone("{}").text()).value("deviceKey", ""));

    std::vector<std::vector<double>> latencies(phones);
    std::atomic<int64_t> failures { 0 };
    std::vector<std::thread> threads;
    const auto begin = Clock::now();
    for (int p = 0; p < phones; ++p) {
        threads.emplace_back([&, p] {
            httplib::Client client("127.0.0.1", server.port());
            client.set_keep_alive(true);
            client.set_read_timeout(30, 0);
            latencies[p].reserve(perPhone);
            for (int i = 0; i < perPhone; ++i) {
                char target[256];
                std::snprintf(target, sizeof target,
                              "/track/osmand?id=%s&lat=%.6f&lon=%.6f&timestamp=%lld&hdop=5&altitude=520&speed=1.2",
                              keys[p].c_str(), 48.1 + p * 0.001 + i * 1e-5, 11.5 + i * 1e-5,
                              static_cast<long long>((start + i * 5000LL) / 1000));
                const auto sent = Clock::now();
                const auto result = client.Get(target);
                latencies[p].push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
                if (!result || result->status != 200)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

    std::vector<double> all;
    for (const auto& list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    const auto at = [&all](double q) { return all[std::min(all.size() - 1, static_cast<size_t>(q * all.size()))]; };
    int64_t stored = 0;
    for (const auto& user : store.users().value_or(std::vector<service::User>()))
        stored += store.fixCount(user.id).value_or(0);
    const int64_t total = static_cast<int64_t>(phones) * perPhone;
    std::printf("OsmAnd protocol: %d phones x %d fixes = %lld requests in %.2f s: %.0f fixes/s\n", phones, perPhone,
                static_cast<long long>(total), seconds, total / seconds);
    std::printf("latency ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", at(0.5), at(0.9), at(0.99), all.back());
    std::printf("stored %lld of %lld, failed requests %lld\n", static_cast<long long>(stored),
                static_cast<long long>(total), static_cast<long long>(failures.load()));
    server.stop();
    return stored == total && failures == 0 ? 0 : 1;
}
