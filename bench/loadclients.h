#pragma once

// Many HTTP clients at once against the service over loopback, for the
// benchmarks: requests a second, latencies and failures.

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// One request of a client: a PUT with a JSON body, or a GET without one.
struct Request {
    std::string target;
    std::string body; // empty: GET
};

struct LoadRun {
    double rate = 0; // answered requests a second
    double p50 = 0, p90 = 0, p99 = 0, max = 0; // ms
    int64_t requests = 0;
    int64_t failures = 0; // no answer, or a status other than 200
};

// `clients` clients for `duration` seconds, client c on the service at
// ports[c % ports.size()] over a keep-alive connection of its own from a
// loopback address of its own, as separate people's programs would be: the
// service serves at most a few connections of one address at once and
// queues the rest. `next` makes a client's next request, with the client's
// own random source.
//
// Closed loop (rate 0): each client sends its next request as soon as the
// last is answered, so with more clients than cores the figures show the
// machine saturated. Paced (rate > 0, requests per second in all): each
// client sends on a schedule of its own, and a request's time counts from the
// moment it was due, so a service that falls behind is charged for the wait.
inline LoadRun runClients(const std::vector<int>& ports, int clients, double duration, double rate,
                          const std::function<Request(int client, std::mt19937_64& random)>& next)
{
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int64_t> failures { 0 };
    std::atomic<bool> stop { false };
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", ports[static_cast<size_t>(c) % ports.size()]);
            client.set_interface("127.0.0." + std::to_string(2 + c % 250));
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            client.set_read_timeout(30, 0);
            std::mt19937_64 random(static_cast<uint64_t>(c) * 7919 + 1);
            const auto interval = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(rate > 0 ? clients / rate : 0));
            Clock::time_point due = Clock::now() + interval * static_cast<int>(random() % 1000) / 1000;
            while (!stop) {
                if (rate > 0) {
                    std::this_thread::sleep_until(due);
                    if (stop)
                        break;
                }
                const Request request = next(c, random);
                const auto begin = rate > 0 ? due : Clock::now();
                due += interval;
                auto answer = request.body.empty() ? client.Get(request.target)
                                                   : client.Put(request.target, request.body, "application/json");
                const double took = seconds(Clock::now() - begin);
                if (!answer || answer->status != 200) {
                    if (failures++ == 0)
                        std::fprintf(stderr, "first failure: %s\n",
                                     answer ? (std::to_string(answer->status) + " " + answer->body).c_str()
                                            : httplib::to_string(answer.error()).c_str());
                }
                latencies[c].push_back(took);
            }
        });
    }
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    stop = true;
    for (auto& thread : threads)
        thread.join();
    const double elapsed = seconds(Clock::now() - begin);
    std::vector<double> all;
    for (const auto& list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    LoadRun run;
    run.requests = static_cast<int64_t>(all.size());
    run.failures = failures;
    run.rate = all.size() / elapsed;
    auto at = [&all](double q) {
        return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(q * all.size()))] * 1000;
    };
    run.p50 = at(0.50);
    run.p90 = at(0.90);
    run.p99 = at(0.99);
    run.max = all.empty() ? 0 : all.back() * 1000;
    return run;
}

} // namespace bench
