#include "service/webpages.h"

#include "embedded/pages.h"

#include <map>

namespace service {

namespace {

std::string escapeHtml(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// The page with each "{{name}}" replaced by the value of that name; what
// the values bring in is not searched again.
std::string filled(std::string_view page, const std::map<std::string, std::string>& values)
{
    std::string out;
    size_t from = 0;
    for (size_t open = page.find("{{"); open != std::string_view::npos; open = page.find("{{", from)) {
        const size_t close = page.find("}}", open + 2);
        if (close == std::string_view::npos)
            break;
        const auto value = values.find(std::string(page.substr(open + 2, close - open - 2)));
        if (value == values.end()) {
            out.append(page.substr(from, close + 2 - from));
        } else {
            out.append(page.substr(from, open - from));
            out += value->second;
        }
        from = close + 2;
    }
    out.append(page.substr(from));
    return out;
}

} // namespace

std::string phonePage()
{
    return std::string(pages::phoneHtml);
}

std::string syncPage(const std::string& code, const std::string& phoneName)
{
    // The code only contains hex digits; it is escaped all the same.
    return filled(pages::syncHtml, { { "code", escapeHtml(code) }, { "phoneName", escapeHtml(phoneName) } });
}

std::string errorPage(const std::string& title, const std::string& text)
{
    return filled(pages::errorHtml, { { "title", escapeHtml(title) }, { "text", escapeHtml(text) } });
}

std::string homePage()
{
    return std::string(pages::homeHtml);
}

} // namespace service
