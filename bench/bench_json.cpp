// Parses and writes a 1 MB camera-list answer with our codec and, when it is
// installed, with nlohmann-json in the same run, and prints MB/s for each.
// Then parses hostile 50 MB texts (all "[", one array of integers) and prints
// the time and the growth of the process's peak memory for each.

#include <chrono>
#include <cstdio>
#include <string>

#include <sys/resource.h>

#include "json/jsonvalue.h"

#include <nlohmann/json.hpp>

namespace {

// A getSyncList-like answer with as many cameras as it takes to reach the size.
std::string cameraListAnswer(size_t targetBytes)
{
    JsonValue answer;
    answer["head"] = "OK";
    answer["body"] = "Synchronizations of Pixel 8";
    answer["phoneName"] = "Pixel 8 \xc3\xa9t\xc3\xa9";
    JsonValue& cameras = answer["cameras"];
    int i = 0;
    while (answer.serialize().size() < targetBytes) {
        for (int k = 0; k < 100; ++k, ++i) {
            JsonValue& camera = cameras.append();
            camera["cameraName"] = ("Canon EOS " + std::to_string(i % 97) + "D").c_str();
            camera["serial"] = ("SN" + std::to_string(100000 + i)).c_str();
            camera["latitude"] = JsonValue(48.1234567 + i * 1e-4);
            camera["enabled"] = JsonValue(i % 2 == 0);
            JsonValue& syncs = camera["synchronizations"];
            for (int s = 0; s < 2; ++s) {
                JsonValue& sync = syncs.append();
                sync["syncId"] = ("c0ffee" + std::to_string(i * 2 + s)).c_str();
                sync["timeZoneTime"] = "2026-07-14 12:34:56";
                sync["timeZone"] = "+02:00";
                sync["timeZoneName"] = "Central European \"Summer\" Time";
                sync["offset"] = JsonValue(static_cast<long long>(3600 + s));
            }
        }
    }
    return answer.serialize();
}

template <typename Body>
double megabytesPerSecond(size_t bytes, Body body)
{
    using Clock = std::chrono::steady_clock;
    int rounds = 0;
    const auto start = Clock::now();
    double seconds = 0;
    do {
        body();
        ++rounds;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 1.0 || rounds < 3);
    return double(bytes) * rounds / seconds / 1e6;
}

long peakKilobytes()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One hostile text: seconds to parse it and how far the peak memory grew.
void hostile(const char* name, const std::string& text)
{
    const long before = peakKilobytes();
    const auto start = std::chrono::steady_clock::now();
    const JsonValue value = JsonValue::parse(text);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-28s %5.1f MB  %6.2f s  peak +%6.0f MB  (%s, %u elements)\n", name, text.size() / 1e6, seconds,
                (peakKilobytes() - before) / 1024.0, value.isNull() ? "Null" : "parsed", value.size());
}

} // namespace

int main()
{
    const std::string text = cameraListAnswer(1000000);
    const JsonValue tree = JsonValue::parse(text);
    if (tree.isNull() || tree.serialize() != text) {
        std::fprintf(stderr, "the document does not round-trip\n");
        return 1;
    }
    std::printf("document: %zu bytes, %u cameras\n", text.size(), tree.get("cameras").size());

    size_t sink = 0;
    const double parse = megabytesPerSecond(text.size(), [&] { sink += JsonValue::parse(text).get("cameras").size(); });
    const double write = megabytesPerSecond(text.size(), [&] { sink += tree.serialize().size(); });
    std::printf("JsonValue      parse %7.1f MB/s   write %7.1f MB/s\n", parse, write);

    const nlohmann::json other = nlohmann::json::parse(text);
    const double otherParse = megabytesPerSecond(text.size(), [&] { sink += nlohmann::json::parse(text)["cameras"].size(); });
    const double otherWrite = megabytesPerSecond(text.size(), [&] { sink += other.dump().size(); });
    std::printf("nlohmann-json  parse %7.1f MB/s   write %7.1f MB/s\n", otherParse, otherWrite);

    // Hostile texts last: they raise the peak that later figures would share.
    const size_t hostileBytes = 50u * 1000 * 1000;
    hostile("50 MB of \"[\"", std::string(hostileBytes, '['));
    std::string numbers = "[";
    for (long i = 0; numbers.size() < hostileBytes; ++i)
        numbers += std::to_string(100000 + i % 900000) + ",";
    numbers.back() = ']';
    hostile("50 MB array of integers", numbers);
    return sink == 0;
}
