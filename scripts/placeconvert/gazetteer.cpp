#include "gazetteer.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace placeconvert {

namespace {

class Decoder {
public:
    Decoder(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) { }

    bool done() const { return at_ >= end_; }

    uint64_t varint()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ >= end_)
                throw std::runtime_error("cities.pbf: a number cut short");
            const uint8_t byte = *at_++;
            value |= uint64_t(byte & 0x7f) << shift;
            if (byte < 0x80)
                return value;
        }
        throw std::runtime_error("cities.pbf: a number longer than ten bytes");
    }

    int64_t signedVarint()
    {
        const uint64_t v = varint();
        return int64_t(v >> 1) ^ -int64_t(v & 1);
    }

    Decoder nested()
    {
        const uint64_t length = varint();
        if (length > uint64_t(end_ - at_))
            throw std::runtime_error("cities.pbf: a field beyond the end of the file");
        Decoder inner(at_, at_ + length);
        at_ += length;
        return inner;
    }

    std::string text()
    {
        Decoder inner = nested();
        return std::string(inner.at_, inner.end_);
    }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// Reads one place; the position fields are changes from the last place's.
Place readPlace(Decoder message, int64_t& longitude, int64_t& latitude)
{
    Place place;
    while (!message.done()) {
        const uint64_t key = message.varint();
        const uint64_t field = key >> 3, wire = key & 7;
        if (wire == 2) {
            std::string text = message.text();
            if (field == 2)
                place.name = std::move(text);
            else if (field == 3)
                place.country = std::move(text);
            else if (field == 7)
                place.featureCode = std::move(text);
            else if (field == 8)
                place.adminCode = std::move(text);
        } else if (wire == 0) {
            if (field == 9)
                place.population = uint32_t(std::min<uint64_t>(message.varint(), UINT32_MAX));
            else if (field == 10)
                longitude += message.signedVarint();
            else if (field == 11)
                latitude += message.signedVarint();
            else
                message.varint();
        } else {
            throw std::runtime_error("cities.pbf: a field of wire type " + std::to_string(wire));
        }
    }
    if (std::llabs(longitude) > 18000000 || std::llabs(latitude) > 9000000)
        throw std::runtime_error("cities.pbf: " + place.name + " lies beyond 180 degrees or the poles");
    if (place.name.empty() || place.country.size() != 2 || place.name.size() > 200)
        throw std::runtime_error("cities.pbf: a place without a name or a country of two letters");
    place.longitude = int32_t(longitude * 10);
    place.latitude = int32_t(latitude * 10);
    return place;
}

std::string cityKey(const std::string& country, const std::string& name)
{
    return country + '\t' + name;
}

} // namespace

std::vector<Place> readPlaces(const std::vector<uint8_t>& pbf)
{
    std::vector<Place> places;
    Decoder file(pbf.data(), pbf.data() + pbf.size());
    int64_t longitude = 0, latitude = 0;
    while (!file.done()) {
        Place place = readPlace(file.nested(), longitude, latitude);
        const std::string& code = place.featureCode;
        if (code != "PPLH" && code != "PPLQ" && code != "PPLW")
            places.push_back(std::move(place));
    }
    return places;
}

RegionNames nameRegions(std::vector<Place>& places, const std::vector<uint8_t>& admin1Json,
                        const std::vector<uint8_t>& citiesJson)
{
    std::unordered_map<std::string, std::string> names; // "PT.14" -> "Lisbon"
    for (const nlohmann::json& region : nlohmann::json::parse(admin1Json.begin(), admin1Json.end()))
        names[region.at("code").get<std::string>()] = region.at("name").get<std::string>();

    struct Known {
        double latitude, longitude;
        std::string admin1;
    };
    std::unordered_multimap<std::string, Known> known;
    for (const nlohmann::json& city : nlohmann::json::parse(citiesJson.begin(), citiesJson.end()))
        known.emplace(cityKey(city.at("country").get<std::string>(), city.at("name").get<std::string>()),
                      Known { std::atof(city.at("lat").get<std::string>().c_str()),
                              std::atof(city.at("lng").get<std::string>().c_str()), city.value("admin1", "") });

    // Per region code: places found in both, and those with the same code in both.
    std::unordered_map<std::string, std::pair<size_t, size_t>> agreement;
    for (const Place& place : places) {
        const auto [first, last] = known.equal_range(cityKey(place.country, place.name));
        for (auto it = first; it != last; ++it)
            if (std::abs(it->second.latitude - place.latitude * 1e-6) < 0.05
                && std::abs(it->second.longitude - place.longitude * 1e-6) < 0.05) {
                auto& [found, same] = agreement[place.country + '.' + place.adminCode];
                ++found;
                same += it->second.admin1 == place.adminCode;
                break;
            }
    }
    RegionNames result;
    for (Place& place : places) {
        const std::string code = place.country + '.' + place.adminCode;
        const auto name = names.find(code);
        const auto [found, same] = agreement[code];
        if (name == names.end()) {
            ++result.unnamed;
        } else if (found > 0 && same * 10 < found * 9) {
            ++result.distrusted;
        } else {
            place.region = name->second;
            ++result.named;
            result.countriesNamed.insert(place.country);
        }
    }
    return result;
}

} // namespace placeconvert
