#pragma once

// What syncCamera answers once a photo of a code has passed its checks: the
// synchronization stored with the camera's clock told against a zone the
// user knows, or the question before this computer's account joins the
// account of the code's phone.

#include "service/api.h"
#include "service/clockdrift.h"

#include <cstdint>
#include <string>

namespace service {

// "The camera NIKON D750 (serial number 3001234)", "The camera" when nothing names it.
std::string cameraLabel(const std::string& model, const std::string& identity);

// The milliseconds of the EXIF SubSecTimeOriginal digits, a fraction of the
// second: "48" is 480, "5" 500, "123" 123 (digits past the third are cut);
// 0 for an empty text or one that holds anything but digits and blanks around them.
int64_t subSecondsMs(const std::string& digits);
// Whether the text holds such digits.
bool hasSubSeconds(const std::string& digits);

// The clock model's view of a camera's synchronizations, each named by its local time.
std::vector<ClockSync> clockSyncs(const std::vector<Synchronization>& synchronizations);

// The "clock" member of geocodeImage's answers: the offset used for a photo,
// how it was found and from which synchronizations, and the camera's drift.
nlohmann::json clockMember(const ClockEstimate& estimate, const std::vector<ClockSync>& syncs,
                           const std::string& camera);

// The camera list's "drift" and "driftMsPerWeek" of a camera.
void addDrift(nlohmann::json& entry, const std::vector<Synchronization>& synchronizations);

// The camera and its clock as a photo of a code shows them.
struct SyncPhoto {
    std::string model;
    std::string serialNumber;
    std::string internalSerialNumber;
    int64_t cameraTime = 0;     // its reading, sub-seconds included, as if it were UTC
    std::string computerZoneId; // the desktop's own zone, for when the phone tells none
};

// Stores the synchronization of the photo's camera by `code` of `owner`,
// taken at the true moment `moment`. The clock is told against the local
// time of the zone of the owner's fix nearest that moment, when one lies
// within an hour of it, else of the computer's zone (UTC when unknown); the
// answer's text and "clockOffset" come from the same whole seconds.
Reply storeSynchronization(Store& store, const User& owner, const std::string& code, const SyncPhoto& photo,
                           int64_t moment);

// "Link this computer to the phone 'Pixel 8'? The 2,161 positions imported
// here and 1 camera move to it." A demo account's positions never move:
// `positions` counts those that do.
std::string linkText(const std::string& phoneName, int64_t positions, int64_t cameras, bool demo);

// The 203 "Link this computer?" answer, with the member "link", before the
// account `desktop` is merged into `owner`.
Reply linkQuestion(Store& store, const User& desktop, const User& owner);

} // namespace service
