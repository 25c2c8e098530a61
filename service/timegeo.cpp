#include "service/timegeo.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

namespace service {

namespace {

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool digits(const std::string& text, size_t at, size_t count, int& value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

int daysInMonth(int year, int month)
{
    static const int days[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The common "YYYY-MM-DD?HH:MM:SS" prefix; `end` is set past the seconds.
std::optional<int64_t> parseDateTimePrefix(const std::string& text, bool exifDate, bool isoSeparator,
                                           size_t& end)
{
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || !digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day)
        || !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second))
        return std::nullopt;
    const char dateSeparator = text[4];
    if (dateSeparator != text[7] || !(dateSeparator == '-' || (exifDate && dateSeparator == ':')))
        return std::nullopt;
    if (!(text[10] == ' ' || (isoSeparator && (text[10] == 'T' || text[10] == 't'))) || text[13] != ':'
        || text[16] != ':')
        return std::nullopt;
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23
        || minute > 59 || second > 59)
        return std::nullopt;
    end = 19;
    const int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return ((days * 24 + hour) * 60 + minute) * 60000LL + second * 1000LL;
}

// "YYYY-MM-DD?HH:MM:SS"; a year outside 0 to 9999 with its sign and at least
// four digits, as ISO 8601 writes years beyond four digits.
std::string dateTimeText(const CivilTime& t, char separator)
{
    char buffer[64];
    const bool plain = t.year >= 0 && t.year <= 9999;
    std::snprintf(buffer, sizeof buffer, plain ? "%04lld-%02d-%02d%c%02d:%02d:%02d" : "%+05lld-%02d-%02d%c%02d:%02d:%02d",
                  static_cast<long long>(t.year), t.month, t.day, separator, t.hour, t.minute, t.second);
    return buffer;
}

// The instants whose offsets the zone rules are asked for: years 1000 to 9999.
constexpr int64_t firstRuleTime = -30610224000000LL;
constexpr int64_t lastRuleTime = 253402300799999LL;

const QLocale& englishLocale()
{
    static const QLocale locale(QLocale::English, QLocale::UnitedStates);
    return locale;
}

// QTimeZone reads the zone database on construction; each thread keeps its own
// copies so no two threads share one object.
const QTimeZone& cachedZone(const std::string& zoneId)
{
    thread_local std::map<std::string, QTimeZone> zones;
    auto found = zones.find(zoneId);
    if (found == zones.end()) {
        if (zones.size() > 1000)
            zones.clear();
        found = zones.emplace(zoneId, QTimeZone(QByteArray::fromStdString(zoneId))).first;
    }
    return found->second;
}

} // namespace

std::optional<int64_t> parseWallClock(const std::string& text)
{
    size_t end = 0;
    auto value = parseDateTimePrefix(text, true, true, end);
    if (!value || end != text.size())
        return std::nullopt;
    return value;
}

CivilTime civilTime(int64_t ms)
{
    // Floor division: the remainders are never negative, and nothing is negated.
    const int64_t seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
    const int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const int64_t rest = (seconds % 86400 + 86400) % 86400;
    CivilTime t;
    unsigned m, d;
    civilFromDays(days, t.year, m, d);
    t.month = static_cast<int>(m);
    t.day = static_cast<int>(d);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.millisecond = static_cast<int>((ms % 1000 + 1000) % 1000);
    return t;
}

int64_t clampedSum(int64_t a, int64_t b)
{
    if (b > 0 && a > std::numeric_limits<int64_t>::max() - b)
        return std::numeric_limits<int64_t>::max();
    if (b < 0 && a < std::numeric_limits<int64_t>::min() - b)
        return std::numeric_limits<int64_t>::min();
    return a + b;
}

std::optional<int64_t> wholeMilliseconds(double ms)
{
    if (!std::isfinite(ms) || std::fabs(ms) > 1e16)
        return std::nullopt;
    return static_cast<int64_t>(ms);
}

std::string formatWallClock(int64_t ms)
{
    return dateTimeText(civilTime(ms), ' ');
}

std::optional<int64_t> parseIsoTime(const std::string& text)
{
    size_t at = 0;
    auto value = parseDateTimePrefix(text, false, true, at);
    if (!value)
        return std::nullopt;
    int64_t ms = *value;
    if (at < text.size() && text[at] == '.') {
        ++at;
        int64_t fraction = 0;
        int places = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (places < 3) {
                fraction = fraction * 10 + (text[at] - '0');
                ++places;
            }
            ++at;
        }
        if (places == 0)
            return std::nullopt;
        while (places++ < 3)
            fraction *= 10;
        ms += fraction;
    }
    if (at == text.size())
        return std::nullopt; // a time without a zone is ambiguous
    if ((text[at] == 'Z' || text[at] == 'z') && at + 1 == text.size())
        return ms;
    int hours, minutes;
    if ((text[at] == '+' || text[at] == '-') && at + 6 == text.size() && digits(text, at + 1, 2, hours)
        && text[at + 3] == ':' && digits(text, at + 4, 2, minutes) && hours < 24 && minutes < 60) {
        const int64_t offset = (hours * 60 + minutes) * 60000LL;
        return text[at] == '+' ? ms - offset : ms + offset;
    }
    return std::nullopt;
}

std::string formatIsoTime(int64_t ms)
{
    const CivilTime t = civilTime(ms);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", t.millisecond);
    return dateTimeText(t, 'T') + fraction;
}

bool isKnownZone(const std::string& zoneId)
{
    if (zoneId.empty() || zoneId.size() >= 64)
        return false;
    // Qt searches its list of zones on every question: the answers are kept.
    thread_local std::map<std::string, bool> known;
    const auto found = known.find(zoneId);
    if (found != known.end())
        return found->second;
    // Qt lists only the zones of the zone table; the nautical "Etc/GMT+5"
    // zones exist all the same.
    const bool available = QTimeZone::isTimeZoneIdAvailable(QByteArray::fromStdString(zoneId))
        || (zoneId.compare(0, 7, "Etc/GMT") == 0 && cachedZone(zoneId).isValid());
    if (known.size() > 1000)
        known.clear();
    known.emplace(zoneId, available);
    return available;
}

std::string offsetText(int offsetSeconds)
{
    const int magnitude = std::abs(offsetSeconds) / 60;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%c%02d:%02d", offsetSeconds < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return buffer;
}

ZoneMoment zoneMoment(const std::string& zoneId, int64_t utcMs)
{
    ZoneMoment moment;
    const bool known = isKnownZone(zoneId);
    moment.zoneId = known ? zoneId : "UTC";
    const QTimeZone& zone = cachedZone(moment.zoneId);
    const QDateTime instant = QDateTime::fromMSecsSinceEpoch(std::clamp(utcMs, firstRuleTime, lastRuleTime), Qt::UTC);
    moment.offsetSeconds = zone.isValid() ? zone.offsetFromUtc(instant) : 0;
    moment.offsetText = offsetText(moment.offsetSeconds);
    moment.longName = zone.isValid() ? zone.displayName(instant, QTimeZone::LongName, englishLocale()).toStdString()
                                     : std::string("Coordinated Universal Time");
    if (moment.longName.empty())
        moment.longName = moment.zoneId;
    if (moment.longName == "UTC")
        moment.longName = "Coordinated Universal Time";
    moment.wallClock = clampedSum(utcMs, moment.offsetSeconds * 1000LL);
    moment.localTime = formatWallClock(moment.wallClock);
    return moment;
}

bool validFixTime(int64_t time, int64_t now, std::string* error)
{
    const char* reason = nullptr;
    if (time < gpsEpoch)
        reason = "time before 1980-01-06 (the GPS epoch)";
    else if (time > clampedSum(now, maxFutureMs))
        reason = "time more than 10 min ahead of the service's clock";
    if (reason && error)
        *error = reason;
    return !reason;
}

bool validFix(const Fix& fix, int64_t now, std::string* error)
{
    const auto refuse = [error](const std::string& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!validFixTime(fix.time, now, error))
        return false;
    if (!std::isfinite(fix.latitude) || fix.latitude < -90 || fix.latitude > 90)
        return refuse("latitude outside -90 to 90");
    if (!std::isfinite(fix.longitude) || fix.longitude < -180 || fix.longitude > 180)
        return refuse("longitude outside -180 to 180");
    if (!std::isfinite(fix.altitude) || std::fabs(fix.altitude) > 100000)
        return refuse("altitude outside -100000 to 100000 m");
    if (!std::isfinite(fix.accuracy) || fix.accuracy < 0 || fix.accuracy > 1e7)
        return refuse("accuracy outside 0 to 10000000 m");
    if (!isKnownZone(fix.zoneId))
        return refuse("unknown time zone \"" + fix.zoneId.substr(0, 64) + "\"");
    return true;
}

std::optional<Fix> locate(const std::optional<Fix>& before, const std::optional<Fix>& after, int64_t moment)
{
    if (before && after && after->time - before->time <= maxInterpolationGapMs) {
        const int64_t span = after->time - before->time;
        const double t = span > 0 ? static_cast<double>(moment - before->time) / static_cast<double>(span) : 0.0;
        Fix p;
        p.latitude = before->latitude + (after->latitude - before->latitude) * t;
        // Across the date line the short way round.
        double dLon = after->longitude - before->longitude;
        if (dLon > 180)
            dLon -= 360;
        else if (dLon < -180)
            dLon += 360;
        p.longitude = before->longitude + dLon * t;
        if (p.longitude > 180)
            p.longitude -= 360;
        else if (p.longitude < -180)
            p.longitude += 360;
        p.altitude = before->altitude + (after->altitude - before->altitude) * t;
        p.accuracy = std::max(before->accuracy, after->accuracy);
        p.zoneId = t <= 0.5 ? before->zoneId : after->zoneId;
        p.time = moment;
        return p;
    }
    const Fix* nearest = nullptr;
    int64_t distance = 0;
    if (before) {
        nearest = &*before;
        distance = moment - before->time;
    }
    if (after && (!nearest || after->time - moment < distance)) {
        nearest = &*after;
        distance = after->time - moment;
    }
    if (!nearest || distance > maxNearestFixMs)
        return std::nullopt;
    Fix position = *nearest;
    position.time = moment;
    return position;
}

std::string durationText(int64_t ms)
{
    // The magnitude in unsigned arithmetic, where that of INT64_MIN fits.
    const uint64_t magnitude = ms < 0 ? 0 - static_cast<uint64_t>(ms) : static_cast<uint64_t>(ms);
    const uint64_t seconds = magnitude / 1000;
    const uint64_t days = seconds / 86400;
    const uint64_t hours = seconds / 3600 % 24;
    const uint64_t minutes = seconds / 60 % 60;
    const uint64_t secs = seconds % 60;
    std::string text;
    auto add = [&text](uint64_t value, const char* unit) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(value) + ' ' + unit;
    };
    if (days > 0) {
        add(days, days == 1 ? "day" : "days");
        if (hours > 0)
            add(hours, "h");
        return text;
    }
    if (hours > 0)
        add(hours, "h");
    if (minutes > 0)
        add(minutes, "min");
    if (secs > 0 || text.empty())
        add(secs, "s");
    return text;
}

} // namespace service
