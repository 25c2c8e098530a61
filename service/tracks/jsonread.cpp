#include "service/tracks/json.h"

#include <algorithm>
#include <stdexcept>
#include <streambuf>
#include <vector>

namespace service::tracks {

using nlohmann::json;

namespace {

// Values are held only until the point or feature around them is taken; a
// file of other JSON is not read into memory beyond this many bytes, counted
// as they may take at most while an array grows (one GeoJSON feature of
// 400,000 timed points takes 150 MB so; the process grows by less).
constexpr int64_t maxHeldBytes = 160 * 1024 * 1024;

std::string tooLong(const char* what)
{
    return std::string("The file holds ") + what + " longer than " + std::to_string(maxTokenBytes / 1024) + " KB at ";
}

// Hands the JSON text on to the parser, which holds each string and number
// whole: the text ends where one runs longer than maxTokenBytes, and
// refusal() tells why.
class JsonGuard : public std::streambuf {
public:
    explicit JsonGuard(std::streambuf& source) : source_(source) {}

    const std::string& refusal() const { return refusal_; }
    // The bytes the parser took.
    int64_t offset() const { return offset_ - (egptr() - gptr()); }
    // The line the parser is at.
    int64_t line() const { return chunkLine_ + std::count(eback(), gptr(), '\n'); }

protected:
    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        if (!refusal_.empty())
            return traits_type::eof();
        const std::streamsize got = source_.sgetn(buffer_, sizeof buffer_);
        chunkLine_ = line_;
        std::streamsize taken = 0;
        while (taken < got && take(buffer_[taken]))
            ++taken;
        setg(buffer_, buffer_, buffer_ + taken);
        offset_ += taken;
        return taken > 0 ? traits_type::to_int_type(buffer_[0]) : traits_type::eof();
    }

private:
    bool take(char c)
    {
        if (inString_) {
            if (escaped_)
                escaped_ = false;
            else if (c == '\\')
                escaped_ = true;
            else if (c == '"')
                inString_ = false;
            if (inString_ && ++run_ > static_cast<int64_t>(maxTokenBytes))
                return refuse(tooLong("a text"));
        } else if (c == '"') {
            inString_ = true;
            run_ = 0;
            runLine_ = line_;
        } else if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':' || c == ' ' || c == '\t'
                   || c == '\r' || c == '\n') {
            run_ = 0;
        } else {
            if (run_ == 0)
                runLine_ = line_;
            if (++run_ > static_cast<int64_t>(maxTokenBytes))
                return refuse(tooLong("a value"));
        }
        if (c == '\n')
            ++line_;
        return true;
    }

    bool refuse(const std::string& why)
    {
        refusal_ = why + lineText(runLine_) + ".";
        return false;
    }

    std::streambuf& source_;
    char buffer_[64 * 1024];
    std::string refusal_;
    bool inString_ = false, escaped_ = false;
    int64_t run_ = 0, runLine_ = 1, line_ = 1, chunkLine_ = 1, offset_ = 0;
};

// True when the object was a point or a feature (it is then dropped).
bool take(const json& object, JsonPoints& points)
{
    if (object.contains("latitudeE7") && object.contains("longitudeE7"))
        return takeGoogleRecord(object, points);
    if (object.contains("point") && object.contains("time"))
        return takeGooglePoint(object.at("point"), object.at("time"), nullptr, points);
    if (const json* where = member(object, { "LatLng", "latLng" }); where && object.contains("timestamp"))
        return takeGooglePoint(*where, object.at("timestamp"), &object, points);
    const auto type = object.find("type");
    if (type != object.end() && *type == "Feature")
        return takeGeoJsonFeature(object, points);
    if (object.contains("timelinePath") && object.contains("startTime"))
        return takeGooglePath(object, points);
    return false;
}

// Builds the values of the JSON text as the parser meets them, holding only
// what a point or feature may still need: each object is offered to take()
// once complete and dropped when taken. Of the objects that are not, those
// in an array become null unless they are the steps of a timelinePath, the
// one array whose objects a point needs; nothing reads the others.
class JsonReading {
public:
    JsonReading(JsonPoints& points, JsonGuard& input) : points_(points), input_(input) {}

    std::string why; // empty when all went well or the reading was stopped

    bool null() { return put(json(nullptr), 0); }
    bool boolean(bool value) { return put(json(value), 0); }
    bool number_integer(json::number_integer_t value) { return put(json(value), 0); }
    bool number_unsigned(json::number_unsigned_t value) { return put(json(value), 0); }
    bool number_float(json::number_float_t value, const std::string&) { return put(json(value), 0); }
    bool string(std::string& value)
    {
        const int64_t size = textBytes(value);
        return put(json(std::move(value)), size);
    }
    bool binary(json::binary_t&) { return put(json(nullptr), 0); }
    bool start_object(std::size_t) { return open(json::object()); }
    bool start_array(std::size_t) { return open(json::array()); }
    bool key(std::string& name)
    {
        held_ += textBytes(name);
        levels_.back().key = std::move(name);
        return carryOn();
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& parseError)
    {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
        const std::string text = parseError.what();
        const size_t at = text.find("parse error");
        why = "The file breaks off: " + (at == std::string::npos ? text : text.substr(at)) + ".";
        return false;
    }

private:
    struct Level {
        json* value;
        std::string name;  // the member it is, in an object
        std::string key;   // its member being read, when it is an object
        int64_t heldBefore; // the bytes held before it began
    };

    // The heap a string takes beside its value.
    static int64_t textBytes(const std::string& text)
    {
        return 48 + (text.size() > 15 ? static_cast<int64_t>(text.size()) + 16 : 0);
    }

    // Puts the value into the open array or object, counting the room it
    // takes there: an array's values move to a larger block as it grows,
    // an object's members each have a node of their own.
    json* insert(json&& value)
    {
        held_ += levels_.empty() ? 16 : levels_.back().value->is_array() ? 48 : 96;
        if (levels_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        json& parent = *levels_.back().value;
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        json& member = parent[levels_.back().key];
        member = std::move(value);
        return &member;
    }

    bool put(json&& value, int64_t heapBytes)
    {
        insert(std::move(value));
        held_ += heapBytes;
        return carryOn();
    }

    bool open(json&& value)
    {
        if (static_cast<int64_t>(levels_.size()) >= maxJsonDepth) {
            why = "The file holds JSON nested more than " + std::to_string(maxJsonDepth) + " deep at "
                + lineText(input_.line()) + ".";
            return false;
        }
        const std::string name = levels_.empty() ? std::string() : levels_.back().key;
        const int64_t before = held_;
        levels_.push_back(Level { insert(std::move(value)), name, std::string(), before });
        held_ += 64;
        return carryOn();
    }

    bool close()
    {
        const Level level = std::move(levels_.back());
        levels_.pop_back();
        json& value = *level.value;
        if (!value.is_object())
            return carryOn();
        if (take(value, points_)) {
            held_ = level.heldBefore;
            if (levels_.empty())
                root_ = nullptr;
            else if (levels_.back().value->is_array())
                levels_.back().value->erase(levels_.back().value->size() - 1);
            else
                levels_.back().value->erase(levels_.back().key);
        } else if (!levels_.empty() && levels_.back().value->is_array() && levels_.back().name != "timelinePath") {
            value = nullptr;
            held_ = level.heldBefore + 48;
        }
        return carryOn();
    }

    bool carryOn()
    {
        if ((++events_ & 0xFFF) == 0)
            points_.out.progress(input_.offset());
        if (held_ > maxHeldBytes) {
            why = "The file holds more JSON without positions than can be read.";
            return false;
        }
        return !points_.out.stopped();
    }

    JsonPoints& points_;
    JsonGuard& input_;
    json root_;
    std::vector<Level> levels_;
    int64_t held_ = 0, events_ = 0;
};

} // namespace

bool readJson(std::istream& in, Collector& out, std::string* error)
{
    JsonPoints points { out };
    JsonGuard guard(*in.rdbuf());
    std::istream guarded(&guard);
    JsonReading reading(points, guard);
    std::string why;
    try {
        json::sax_parse(guarded, &reading);
        why = guard.refusal().empty() ? reading.why : guard.refusal();
    } catch (const std::exception&) {
        why = "The file could not be read as JSON.";
    }
    if (out.stopped())
        why.clear();
    if (out.format().empty() && why.empty())
        why = "This JSON file holds neither GeoJSON features nor Google location history.";
    if (out.format().empty())
        out.setFormat("JSON");
    return why.empty() || fail(error, why);
}

} // namespace service::tracks
