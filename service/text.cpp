#include "service/text.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace service {

namespace {

// 0 to 15 for a hexadecimal digit, -1 for any other character.
int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string trimmed(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

bool toNumber(const std::string& text, double& value)
{
    const std::string t = trimmed(text);
    if (t.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(t.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string percentDecoded(const std::string& text, bool plusIsSpace)
{
    std::string value;
    for (size_t i = 0; i < text.size(); ++i) {
        if (plusIsSpace && text[i] == '+') {
            value += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0
                   && hexDigitValue(text[i + 2]) >= 0) {
            value += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            value += text[i];
        }
    }
    return value;
}

uint64_t fnv1a(const void* bytes, size_t size)
{
    uint64_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<const unsigned char*>(bytes)[i]) * 1099511628211ULL;
    return hash;
}

} // namespace service
