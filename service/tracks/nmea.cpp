#include "service/tracks/reader.h"

#include "service/text.h"
#include "service/tracks/lines.h"

#include <cmath>
#include <cstdlib>

namespace service::tracks {

namespace {

// "ddmm.mmmm" with its hemisphere, as degrees.
bool nmeaDegrees(const std::string& value, const std::string& hemisphere, double& degrees)
{
    double raw = 0;
    if (!toNumber(value, raw) || raw < 0)
        return false;
    const double whole = std::floor(raw / 100);
    const double minutes = raw - whole * 100;
    if (minutes >= 60)
        return false;
    degrees = whole + minutes / 60;
    if (hemisphere == "S" || hemisphere == "W")
        degrees = -degrees;
    else if (hemisphere != "N" && hemisphere != "E")
        return false;
    return true;
}

// hhmmss[.sss] as milliseconds of the day.
std::optional<int64_t> nmeaTimeOfDay(const std::string& text)
{
    double value = 0;
    if (text.size() < 6 || !toNumber(text, value))
        return std::nullopt;
    const int h = (text[0] - '0') * 10 + (text[1] - '0');
    const int m = (text[2] - '0') * 10 + (text[3] - '0');
    const double s = value - std::floor(value / 100) * 100;
    // A sign or a number too large for its last digits to count gives no time.
    if (h < 0 || h > 23 || m < 0 || m > 59 || !(s >= 0 && s < 61) || value >= 1e7)
        return std::nullopt;
    return (h * 3600 + m * 60) * 1000LL + static_cast<int64_t>(std::llround(s * 1000));
}

// Takes the "*hh" checksum off a sentence's body; false when it is wrong.
bool checkedBody(std::string& body)
{
    const size_t star = body.rfind('*');
    if (star == std::string::npos)
        return true;
    unsigned sum = 0;
    for (size_t i = 0; i < star; ++i)
        sum ^= static_cast<unsigned char>(body[i]);
    const unsigned given = static_cast<unsigned>(std::strtoul(body.substr(star + 1).c_str(), nullptr, 16));
    if (body.size() - star != 3 || given != sum)
        return false;
    body.resize(star);
    return true;
}

// The points of RMC and GGA sentences: those of one second make one point,
// its date from the RMC sentence or the last one before.
class NmeaTrack {
public:
    explicit NmeaTrack(Collector& out) : out_(out) {}

    // An RMC or GGA sentence of at least ten fields.
    void take(const std::vector<std::string>& f, bool rmc, int64_t line)
    {
        const auto timeOfDay = nmeaTimeOfDay(f[1]);
        Fix fix;
        const size_t at = rmc ? 3 : 2;
        if (!timeOfDay || !nmeaDegrees(f[at], f[at + 1], fix.latitude)
            || !nmeaDegrees(f[at + 2], f[at + 3], fix.longitude)) {
            out_.skip(f[1].empty() || f[at].empty() ? "no valid fix" : "a time or position that cannot be read",
                      lineText(line));
            return;
        }
        if (*timeOfDay != pending_.timeOfDay)
            flush();
        if (pending_.timeOfDay < 0) {
            pending_.timeOfDay = *timeOfDay;
            pending_.line = line;
            pending_.fix.accuracy = 10;
        }
        pending_.hasPosition = true;
        pending_.fix.latitude = fix.latitude;
        pending_.fix.longitude = fix.longitude;
        if (rmc)
            takeRmc(f);
        else
            takeGga(f);
    }

    // Hands on the point of the current second.
    void flush()
    {
        if (pending_.timeOfDay < 0 || !pending_.hasPosition)
            return;
        const std::string where = lineText(pending_.line);
        if (!pending_.valid)
            out_.skip("no valid fix", where);
        else if (!pending_.dated && !day_)
            out_.skip("no date", where);
        else {
            if (!pending_.dated)
                pending_.fix.time = *day_ + pending_.timeOfDay;
            out_.add(pending_.fix, where);
        }
        pending_ = Pending();
    }

private:
    void takeRmc(const std::vector<std::string>& f)
    {
        pending_.valid = pending_.valid && f[2] == "A";
        const std::string& date = f[9];
        int dd = 0, mm = 0, yy = 0;
        if (date.size() != 6 || std::sscanf(date.c_str(), "%2d%2d%2d", &dd, &mm, &yy) != 3)
            return;
        const std::string iso = std::to_string(yy < 80 ? 2000 + yy : 1900 + yy) + "-" + (mm < 10 ? "0" : "")
            + std::to_string(mm) + "-" + (dd < 10 ? "0" : "") + std::to_string(dd) + "T00:00:00Z";
        if (const auto midnight = parseIsoTime(iso)) {
            day_ = *midnight;
            pending_.dated = true;
            pending_.fix.time = *midnight + pending_.timeOfDay;
        }
    }

    void takeGga(const std::vector<std::string>& f)
    {
        pending_.valid = pending_.valid && f[6] != "0" && !f[6].empty();
        double hdop = 0, altitude = 0;
        if (toNumber(f[8], hdop) && hdop > 0)
            pending_.fix.accuracy = 5 * hdop;
        if (toNumber(f[9], altitude))
            pending_.fix.altitude = altitude;
    }

    struct Pending {
        int64_t timeOfDay = -1;
        bool hasPosition = false, valid = true, dated = false;
        Fix fix;
        int64_t line = 0;
    };
    Collector& out_;
    std::optional<int64_t> day_; // ms of the last date an RMC sentence gave
    Pending pending_;
};

} // namespace

bool readNmea(std::FILE* file, Collector& out, std::string* error)
{
    out.setFormat("NMEA");
    Lines lines(file);
    NmeaTrack track(out);
    std::string line;
    bool tooLong = false;
    while (lines.next(line, tooLong) && !out.stopped()) {
        out.progress(lines.position());
        const std::string where = lineText(lines.number());
        const std::string text = trimmed(line);
        if (text.empty())
            continue;
        if (tooLong) {
            track.flush();
            return fail(error, lineTooLong(lines.number()));
        }
        if (text[0] != '$') {
            out.skip("not an NMEA sentence", where);
            continue;
        }
        std::string body = text.substr(1);
        if (!checkedBody(body)) {
            out.skip("a wrong checksum", where);
            continue;
        }
        const std::vector<std::string> f = splitFields(body, ',');
        if (f[0].size() != 5)
            continue;
        const std::string kind = f[0].substr(2);
        if (kind != "RMC" && kind != "GGA")
            continue;
        if (f.size() < 10) {
            out.skip("a sentence with too few fields", where);
            continue;
        }
        track.take(f, kind == "RMC", lines.number());
    }
    track.flush();
    return true;
}

} // namespace service::tracks
