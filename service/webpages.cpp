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

// Each page's scripts and stylesheets come from the service's /assets/ and
// none is inline. No page needs other sites' resources, plugins, a <base>,
// forms or to be framed.
//
// The phone page asks the service (connect) and shows QR images of the
// apps' settings (img); the live code's SVG it puts into itself.
const char* const phonePolicy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const char* const syncPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// Text and a stylesheet, no script.
const char* const textPolicy =
    "default-src 'none'; style-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

} // namespace

Page phonePage()
{
    return { std::string(pages::phoneHtml), phonePolicy };
}

Page syncPage(const std::string& code, const std::string& phoneName)
{
    // The code only contains hex digits; it is escaped all the same.
    return { filled(pages::syncHtml, { { "code", escapeHtml(code) }, { "phoneName", escapeHtml(phoneName) } }),
             syncPolicy };
}

Page errorPage(const std::string& title, const std::string& text)
{
    return { filled(pages::errorHtml, { { "title", escapeHtml(title) }, { "text", escapeHtml(text) } }), textPolicy };
}

Page homePage()
{
    return { std::string(pages::homeHtml), textPolicy };
}

std::optional<Asset> pageAsset(const std::string& name)
{
    const char* const script = "text/javascript; charset=utf-8";
    const char* const style = "text/css; charset=utf-8";
    static const std::map<std::string, Asset> assets {
        { "page.css", { pages::pageCss, style } }, { "phone.css", { pages::phoneCss, style } },
        { "phone.js", { pages::phoneJs, script } }, { "sync.css", { pages::syncCss, style } },
        { "sync.js", { pages::syncJs, script } },
    };
    const auto found = assets.find(name);
    if (found == assets.end())
        return std::nullopt;
    return found->second;
}

} // namespace service
