#include "service/tracks/json.h"

#include "service/text.h"

#include <cmath>

namespace service::tracks {

using nlohmann::json;

std::optional<int64_t> jsonTime(const json& value)
{
    if (value.is_string())
        return parseTrackTime(value.get_ref<const std::string&>());
    if (value.is_number()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::fabs(number) > 1e16)
            return std::nullopt;
        return number >= 1e11 || number <= -1e11 ? static_cast<int64_t>(number) : static_cast<int64_t>(number * 1000);
    }
    return std::nullopt;
}

bool jsonNumber(const json& object, const char* key, double& value)
{
    const auto found = object.find(key);
    if (found == object.end())
        return false;
    if (found->is_number()) {
        value = found->get<double>();
        return std::isfinite(value);
    }
    if (found->is_string())
        return toNumber(found->get_ref<const std::string&>(), value);
    return false;
}

const json* member(const json& object, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const auto found = object.find(key);
        if (found != object.end() && !found->is_null())
            return &*found;
    }
    return nullptr;
}

} // namespace service::tracks
