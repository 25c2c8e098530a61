#pragma once

#include <cstddef>
#include <cstdint>

// The limits of the service's protocol that its clients keep to as well:
// plain constants, shared by the service and the desktop program.
namespace service {

// Requests bigger than this are refused before they are read.
constexpr std::size_t maxRequestBytes = 1024 * 1024;

// Track files sent to importTrack may be this large; Google's location
// history runs to tens of megabytes, anything beyond this is not a track.
constexpr std::size_t maxTrackBytes = 256 * 1024 * 1024;

} // namespace service
