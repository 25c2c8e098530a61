#include "service/tracks/trackreader.h"

#include "service/text.h"

#include <cmath>

namespace service {

std::optional<int64_t> parseTrackTime(const std::string& raw)
{
    std::string text = trimmed(raw);
    if (text.empty())
        return std::nullopt;
    // Unix seconds or milliseconds.
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        double value = 0;
        if (!toNumber(text, value) || value > 1e16)
            return std::nullopt;
        return value >= 1e11 ? static_cast<int64_t>(value) : static_cast<int64_t>(std::llround(value * 1000));
    }
    if (text.size() >= 10 && (text[4] == '/' || text[4] == '.') && text[7] == text[4]) {
        text[4] = '-';
        text[7] = '-';
    }
    if (text.size() == 10)
        text += "T00:00:00";
    if (auto time = parseIsoTime(text))
        return time;
    // Without a zone GPS times are UTC. A zone written "+0200" gets its colon.
    if (text.size() > 5 && (text[text.size() - 5] == '+' || text[text.size() - 5] == '-')
        && text.find(':', text.size() - 5) == std::string::npos && text.size() > 19)
        return parseIsoTime(text.substr(0, text.size() - 2) + ":" + text.substr(text.size() - 2));
    if (endsWith(text, " UTC"))
        text.resize(text.size() - 4);
    return parseIsoTime(text + "Z");
}

} // namespace service
