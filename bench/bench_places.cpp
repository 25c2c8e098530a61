// Place name lookups per second on one core, at random places of the whole
// earth and at random places within a few kilometres of a populated place
// (where the nearest one is sought among many), and the memory the place
// data takes.
//
// Usage: bench_places [LOOKUPS] (default 5000000 of each kind)

#include "service/places.h"


#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "bench/benchdata.h"

using Clock = std::chrono::steady_clock;
using Places = std::vector<std::pair<double, double>>;

namespace {

using bench::residentKb;

// Lookups per second over the places, round and round; counts the answers with a city.
double rate(const Places& places, long lookups, size_t& withCity, size_t& checksum)
{
    withCity = 0;
    const auto begin = Clock::now();
    for (long i = 0; i < lookups; ++i) {
        const auto& place = places[static_cast<size_t>(i) % places.size()];
        if (const auto found = service::placeAt(place.first, place.second)) {
            checksum += found->city.size() + found->country.size() + size_t(found->distance);
            withCity += !found->city.empty();
        }
    }
    return lookups / std::chrono::duration<double>(Clock::now() - begin).count();
}

// Fills `places` with places that have a city, moved at random by up to about 5 km.
void nearCities(std::mt19937& random, Places& places)
{
    const size_t count = places.size();
    std::uniform_real_distribution<double> latitude(-60, 70), longitude(-180, 180), jitter(-0.05, 0.05);
    Places seeds;
    while (seeds.size() < count / 10) {
        const double lat = latitude(random), lon = longitude(random);
        const auto found = service::placeAt(lat, lon);
        if (found && !found->city.empty())
            seeds.push_back({ lat, lon });
    }
    for (size_t i = 0; i < count; ++i) {
        const auto& seed = seeds[i % seeds.size()];
        places[i] = { seed.first + jitter(random), std::clamp(seed.second + jitter(random), -180.0, 180.0) };
    }
    std::shuffle(places.begin(), places.end(), random);
}

} // namespace

int main(int argc, char** argv)
{
    const long lookups = argc > 1 ? std::atol(argv[1]) : 5000000;

    std::mt19937 random(11);
    std::uniform_real_distribution<double> latitude(-90, 90), longitude(-180, 180);
    Places everywhere(1 << 20), populated(1 << 20);
    for (auto& place : everywhere)
        place = { latitude(random), longitude(random) };

    // The service's growth: the lookups' alone, with the places already in memory.
    const long start = residentKb();
    size_t checksum = 0, withCity = 0;
    rate(everywhere, long(everywhere.size()), withCity, checksum);
    std::printf("resident memory grew by %.1f MB in %zu lookups at random places of the earth\n",
                (residentKb() - start) / 1024.0, everywhere.size());
    const bool intact = service::placeDataIntact(); // reads every byte
    std::printf("place data: %zu bytes (%s), resident memory grew by %.1f MB in all once it was read whole\n",
                service::placeDataBytes(), intact ? "intact" : "NOT INTACT", (residentKb() - start) / 1024.0);

    const auto seeking = Clock::now();
    nearCities(random, populated);
    std::printf("found %zu places near cities in %.1f s\n", populated.size(),
                std::chrono::duration<double>(Clock::now() - seeking).count());

    const double anywhere = rate(everywhere, lookups, withCity, checksum);
    std::printf("lookups at random places of the earth: %.0f per second on one core (%.1f %% with a city)\n", anywhere,
                100.0 * double(withCity) / double(lookups));
    const double nearby = rate(populated, lookups, withCity, checksum);
    std::printf("lookups near populated places: %.0f per second on one core (%.1f %% with a city)\n", nearby,
                100.0 * double(withCity) / double(lookups));
    std::printf("(checksum %zu)\n", checksum);
    return intact ? 0 : 1;
}
