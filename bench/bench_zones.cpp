// Time zone lookups per second on one core, at random places of the whole
// earth and at random places within about a kilometre of a border or a
// coast, and the memory the boundary data takes.
//
// Usage: bench_zones [LOOKUPS] (default 5000000 of each kind)

#include "service/tzlookup.h"


#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/benchdata.h"

using Clock = std::chrono::steady_clock;
using Places = std::vector<std::pair<double, double>>;

namespace {

using bench::residentKb;

// Lookups per second over the places, round and round.
double rate(const Places& places, long lookups, size_t& checksum)
{
    const auto begin = Clock::now();
    for (long i = 0; i < lookups; ++i) {
        const auto& place = places[static_cast<size_t>(i) % places.size()];
        checksum += service::zoneAt(place.first, place.second).size();
    }
    return lookups / std::chrono::duration<double>(Clock::now() - begin).count();
}

// Places where the zone a kilometre or two east or north is another one,
// moved at random by up to a kilometre.
Places nearBorders(std::mt19937& random, size_t count)
{
    std::uniform_real_distribution<double> latitude(-80, 80), longitude(-180, 180), jitter(-0.01, 0.01);
    Places seeds;
    while (seeds.size() < count / 10) {
        const double lat = latitude(random), lon = longitude(random);
        const std::string here = service::zoneAt(lat, lon);
        if (lon < 179.98 && (service::zoneAt(lat, lon + 0.02) != here || service::zoneAt(lat + 0.02, lon) != here))
            seeds.push_back({ lat, lon });
    }
    Places places;
    for (size_t i = 0; i < count; ++i) {
        const auto& seed = seeds[i % seeds.size()];
        places.push_back({ seed.first + jitter(random), seed.second + jitter(random) });
    }
    std::shuffle(places.begin(), places.end(), random);
    return places;
}

} // namespace

int main(int argc, char** argv)
{
    const long lookups = argc > 1 ? std::atol(argv[1]) : 5000000;

    const long before = residentKb();
    const bool intact = service::zoneDataIntact(); // reads every byte
    const long after = residentKb();
    std::printf("boundary data: %zu bytes (%s), resident memory grew by %.1f MB reading all of it\n",
                service::zoneDataBytes(), intact ? "intact" : "NOT INTACT", (after - before) / 1024.0);

    std::mt19937 random(7);
    std::uniform_real_distribution<double> latitude(-90, 90), longitude(-180, 180);
    Places everywhere(1 << 20);
    for (auto& place : everywhere)
        place = { latitude(random), longitude(random) };
    const auto seeking = Clock::now();
    const Places borders = nearBorders(random, 1 << 20);
    std::printf("found %zu places near borders in %.1f s\n", borders.size(),
                std::chrono::duration<double>(Clock::now() - seeking).count());

    size_t checksum = 0;
    std::printf("lookups at random places of the earth: %.0f per second on one core\n",
                rate(everywhere, lookups, checksum));
    std::printf("lookups near borders and coasts: %.0f per second on one core\n", rate(borders, lookups, checksum));
    std::printf("(checksum %zu)\n", checksum);
    return intact ? 0 : 1;
}
