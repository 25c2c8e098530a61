#include "service/rawhead.h"

#include <cctype>

namespace service {

namespace {

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

} // namespace

template <class Take>
void RawHead::each(std::string_view name, Take take) const
{
    const std::string_view text(text_);
    // The first line is the request line.
    for (size_t start = text.find('\n'); start != std::string_view::npos;) {
        ++start;
        const size_t end = text.find('\n', start);
        const std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        start = end;
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && sameName(line.substr(0, colon), name)
            && !take(trimmed(line.substr(colon + 1))))
            return;
    }
}

std::string RawHead::value(std::string_view name) const
{
    std::string found;
    each(name, [&found](std::string_view value) {
        found = std::string(value);
        return false;
    });
    return found;
}

std::string RawHead::last(std::string_view name) const
{
    std::string_view found;
    each(name, [&found](std::string_view value) {
        found = value;
        return true;
    });
    return std::string(found);
}

int RawHead::count(std::string_view name) const
{
    int count = 0;
    each(name, [&count](std::string_view) {
        ++count;
        return true;
    });
    return count;
}

} // namespace service
