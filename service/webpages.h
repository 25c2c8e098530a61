#pragma once

#include <string>

namespace service {

// The page /phone: registers the phone, shows its device key, the settings
// of each tracker app, today's fixes and the live synchronization code, and
// records positions itself where the browser allows it.
std::string phonePage();

// The "/sync" page for a code: HTML that shows the code's QR image and
// reloads it several times a second. Without a code the page asks for one
// with the phone's identifier and key from its address's fragment.
std::string syncPage(const std::string& code, const std::string& phoneName);

// A page that says why a page cannot be shown: a title and a text.
std::string errorPage(const std::string& title, const std::string& text);

// The page "/": where to go from here.
std::string homePage();

} // namespace service
