#include "service/tracks/reader.h"

#include "service/text.h"
#include "service/tracks/lines.h"

#include <algorithm>
#include <cctype>

namespace service::tracks {

namespace {

// Lower case, letters and digits only: "Date Time (UTC)" -> "datetimeutc".
std::string columnKey(const std::string& name)
{
    std::string key;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

int findColumn(const std::vector<std::string>& keys, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        for (size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == name)
                return static_cast<int>(i);
    return -1;
}

// Which field holds what; -1 for none.
struct Columns {
    char separator = ',';
    int lat = -1, lon = -1, time = -1, date = -1, alt = -1, acc = -1, hdop = -1;
};

// The header, the first line that is not blank; false when it names no
// latitude, longitude and time.
bool readHeader(Lines& lines, Columns& columns)
{
    std::string header;
    bool tooLong = false;
    while (lines.next(header, tooLong) && trimmed(header).empty()) {
    }
    if (startsWith(header, "\xEF\xBB\xBF"))
        header.erase(0, 3);
    size_t most = 0;
    for (char candidate : { ',', ';', '\t' }) {
        const size_t count = static_cast<size_t>(std::count(header.begin(), header.end(), candidate));
        if (count > most) {
            most = count;
            columns.separator = candidate;
        }
    }
    std::vector<std::string> keys;
    for (const std::string& field : splitFields(header, columns.separator))
        keys.push_back(columnKey(field));
    columns.lat = findColumn(keys, { "lat", "latitude", "latitudedeg", "latdeg" });
    columns.lon = findColumn(keys, { "lon", "lng", "long", "longitude", "longitudedeg", "londeg" });
    columns.time = findColumn(keys, { "time", "timestamp", "datetime", "utc", "timeutc", "datetimeutc", "utctime",
                                      "gpstime", "timestampms", "recordedat", "isotime" });
    columns.date = findColumn(keys, { "date", "utcdate", "dateutc" });
    columns.alt = findColumn(keys, { "alt", "altitude", "ele", "elevation", "height", "altitudem", "elevationm" });
    columns.acc = findColumn(keys, { "accuracy", "acc", "horizontalaccuracy", "hacc", "accuracym" });
    columns.hdop = findColumn(keys, { "hdop" });
    return columns.lat >= 0 && columns.lon >= 0 && (columns.time >= 0 || columns.date >= 0);
}

void readRow(const std::string& line, const Columns& columns, Collector& out, const std::string& where)
{
    const std::vector<std::string> f = splitFields(line, columns.separator);
    auto field = [&f](int column) { return column >= 0 && column < static_cast<int>(f.size()) ? f[column] : std::string(); };
    Fix fix;
    fix.accuracy = 10;
    if (!toNumber(field(columns.lat), fix.latitude) || !toNumber(field(columns.lon), fix.longitude)) {
        out.skip("no valid latitude and longitude", where);
        return;
    }
    // A time column may hold the whole time, or only the time of day
    // beside a date column.
    const std::string clock = field(columns.time), day = columns.date != columns.time ? field(columns.date) : std::string();
    if (clock.empty() && day.empty()) {
        out.skip("no time", where);
        return;
    }
    auto moment = clock.size() >= 10 || day.empty() ? parseTrackTime(clock) : std::nullopt;
    if (!moment && !day.empty())
        moment = parseTrackTime(clock.empty() ? day : day + " " + clock);
    if (!moment) {
        out.skip("a time that cannot be read", where);
        return;
    }
    fix.time = *moment;
    double value = 0;
    if (toNumber(field(columns.alt), value))
        fix.altitude = value;
    if (toNumber(field(columns.acc), value))
        fix.accuracy = value;
    else if (toNumber(field(columns.hdop), value) && value > 0)
        fix.accuracy = 5 * value;
    out.add(fix, where);
}

} // namespace

bool readCsv(std::FILE* file, Collector& out, std::string* error)
{
    Lines lines(file);
    Columns columns;
    if (!readHeader(lines, columns))
        return fail(error, "This is not a track file: its first line is not a header with latitude, longitude and "
                           "time columns.");
    out.setFormat("CSV");
    std::string line;
    bool tooLong = false;
    while (lines.next(line, tooLong) && !out.stopped()) {
        out.progress(lines.position());
        const std::string where = lineText(lines.number());
        if (trimmed(line).empty())
            continue;
        if (tooLong)
            return fail(error, lineTooLong(lines.number()));
        readRow(line, columns, out, where);
    }
    return true;
}

} // namespace service::tracks
