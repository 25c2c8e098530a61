#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace service {

// A page and what it may load, its Content-Security-Policy: its script and
// stylesheet from the service's /assets/, nothing inline, no frame around it.
struct Page {
    std::string html;
    const char* policy;
};

// The page /phone: registers the phone, shows its device key, the settings
// of each tracker app, today's fixes and the live synchronization code, and
// records positions itself where the browser allows it.
Page phonePage();

// The "/sync" page for a code: HTML that shows the code's QR image and
// reloads it several times a second. Without a code the page asks for one
// with the phone's identifier and key from its address's fragment.
Page syncPage(const std::string& code, const std::string& phoneName);

// A page that says why a page cannot be shown: a title and a text.
Page errorPage(const std::string& title, const std::string& text);

// The page "/": where to go from here.
Page homePage();

// A script or stylesheet of the pages, served as /assets/<name>.
struct Asset {
    std::string_view content;
    const char* type;
};
// The asset of this file name ("phone.js"); nothing for any other name.
std::optional<Asset> pageAsset(const std::string& name);

} // namespace service
