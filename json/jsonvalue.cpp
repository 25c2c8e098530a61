#include "json/jsonvalue.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// Numbers are converted without the C locale: Qt applications run with the
// user's locale, whose decimal separator may be a comma.
std::string formatDouble(double value)
{
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc())
        return "0.000000";
    return std::string(buffer, result.ptr);
}

// Reads a double the way strtod does in the C locale; false when there is no
// number or it is out of range.
bool readDouble(const char* begin, const char* end, double& value, const char** stop)
{
    const char* p = begin;
    if (p != end && *p == '+')
        ++p;
    const auto result = std::from_chars(p, end, value, std::chars_format::general);
    if (result.ec != std::errc())
        return false;
    if (stop)
        *stop = result.ptr;
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The number grammar: an optional sign, digits, optionally "." and digits,
// optionally an exponent with an optional sign and digits. Returns the length
// of the number at the start of [p, end), 0 when there is none.
size_t scanNumber(const char* p, const char* end)
{
    const char* q = p;
    if (q != end && (*q == '+' || *q == '-'))
        ++q;
    const char* digits = q;
    while (q != end && isDigit(*q))
        ++q;
    if (q == digits)
        return 0;
    if (q != end && *q == '.') {
        ++q;
        while (q != end && isDigit(*q))
            ++q;
    }
    if (q != end && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        if (e != end && (*e == '+' || *e == '-'))
            ++e;
        const char* expDigits = e;
        while (e != end && isDigit(*e))
            ++e;
        if (e != expDigits)
            q = e;
    }
    return static_cast<size_t>(q - p);
}

// Cuts the text into tokens. An unknown byte or a string without its closing
// quote empties the list, so that parsing fails.
std::vector<std::string> tokenize(const std::string& text)
{
    std::vector<std::string> tokens;
    tokens.reserve(text.size() / 4 + 1);
    const char* data = text.data();
    const size_t length = text.size();
    size_t i = 0;
    while (i < length) {
        const char c = data[i];
        if (isBlank(c)) {
            ++i;
            continue;
        }
        if (c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':') {
            tokens.emplace_back(1, c);
            ++i;
            continue;
        }
        if (c != '"') {
            if (length - i >= 4 && (std::memcmp(data + i, "null", 4) == 0 || std::memcmp(data + i, "true", 4) == 0)) {
                tokens.emplace_back(data + i, 4);
                i += 4;
                continue;
            }
            if (length - i >= 5 && std::memcmp(data + i, "false", 5) == 0) {
                tokens.emplace_back(data + i, 5);
                i += 5;
                continue;
            }
            const size_t n = scanNumber(data + i, data + length);
            if (n == 0)
                return {};
            tokens.emplace_back(data + i, n);
            i += n;
            continue;
        }
        // A string token keeps its quotes and its escapes undecoded.
        size_t j = i + 1;
        bool closed = false;
        while (j < length) {
            const char b = data[j];
            if (b == '\\') {
                j += 2;
                continue;
            }
            if (b == '"') {
                closed = true;
                break;
            }
            ++j;
        }
        if (!closed)
            return {};
        tokens.emplace_back(data + i, j + 1 - i);
        i = j + 1;
    }
    return tokens;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the bytes between the quotes of a string token.
std::string decodeString(const char* p, const char* end)
{
    std::string out;
    out.reserve(static_cast<size_t>(end - p));
    while (p != end) {
        const char* slash = static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
        if (!slash) {
            out.append(p, end);
            break;
        }
        out.append(p, slash);
        p = slash + 1;
        if (p == end) {
            out.push_back('\\');
            break;
        }
        const char e = *p++;
        switch (e) {
        case '"':
        case '\\':
        case '/':
            out.push_back(e);
            break;
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'u': {
            // Up to four hex digits; only the low byte of the number is kept.
            long number = 0;
            int digits = 0;
            for (const char* q = p; q != end && digits < 4; ++q) {
                const int d = hexDigit(*q);
                if (d < 0)
                    break;
                number = number * 16 + d;
                ++digits;
            }
            if (digits == 0)
                throw std::runtime_error("JSON string parse error - bad unicode escape");
            out.push_back(static_cast<char>(number & 0xFF));
            p = (end - p < 4) ? end : p + 4;
            break;
        }
        default:
            // Unknown escapes are dropped with their backslash.
            break;
        }
    }
    return out;
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& tokens)
        : tokens(tokens)
    {
    }

    void parseValue(JsonValue& value)
    {
        const std::string& t = next();
        const char c = t[0];
        if (c == '{' && t.size() == 1) {
            enter();
            parseObject(value);
            --depth;
        } else if (c == '[' && t.size() == 1) {
            enter();
            parseArray(value);
            --depth;
        } else if (t == "true" || t == "false") {
            value.kind = JsonValue::Boolean;
            value.text = t;
        } else if (t == "null") {
            value.kind = JsonValue::Null;
        } else if (c != '"') {
            parseNumber(t, value);
        } else {
            value.kind = JsonValue::String;
            value.text = decodeString(t.data() + 1, t.data() + t.size() - 1);
        }
    }

    size_t index = 0;

private:
    const std::string& next()
    {
        if (index >= tokens.size())
            throw std::out_of_range("JSON parse error - unexpected end");
        return tokens[index++];
    }

    void enter()
    {
        if (++depth > JsonValue::maxDepth)
            throw std::runtime_error("JSON parse error - nested too deeply");
    }

    static void parseNumber(const std::string& t, JsonValue& value)
    {
        const char* begin = t.data();
        const char* end = begin + t.size();
        const char* p = begin + (*begin == '+' ? 1 : 0);
        long long integer = 0;
        const auto result = std::from_chars(p, end, integer);
        if (result.ec == std::errc() && result.ptr == end && p != end && *p != '+') {
            value.kind = JsonValue::Integer;
            value.text = std::to_string(integer);
            return;
        }
        double number = 0;
        if (!readDouble(begin, end, number, nullptr))
            throw std::runtime_error("JSON number parse error");
        value.kind = JsonValue::Double;
        value.text = formatDouble(number);
    }

    void parseObject(JsonValue& value)
    {
        value.kind = JsonValue::Object;
        bool first = true;
        for (;;) {
            const std::string& key = next();
            if (first && key == "}")
                return;
            first = false;
            if (key[0] != '"')
                throw std::runtime_error("JSON object parse error - key is not a string");
            if (next() != ":")
                throw std::runtime_error("JSON object parse error - colon missing");
            JsonValue& member = value.members[key.substr(1, key.size() - 2)];
            member = JsonValue();
            parseValue(member);
            const std::string& t = next();
            if (t == "}")
                return;
            if (t != ",")
                throw std::runtime_error("JSON object parse error - unexpected char");
        }
    }

    void parseArray(JsonValue& value)
    {
        value.kind = JsonValue::Array;
        if (index < tokens.size() && tokens[index] == "]") {
            ++index;
            return;
        }
        for (;;) {
            value.items.emplace_back();
            parseValue(value.items.back());
            const std::string& t = next();
            if (t == "]")
                return;
            if (t != ",")
                throw std::runtime_error("JSON array parse error - unexpected char");
        }
    }

    const std::vector<std::string>& tokens;
    int depth = 0;
};

void escapeTo(std::string& out, const std::string& text)
{
    const char* p = text.data();
    const char* end = p + text.size();
    const char* run = p;
    for (; p != end; ++p) {
        const char* escape = nullptr;
        switch (*p) {
        case '\\': escape = "\\\\"; break;
        case '"': escape = "\\\""; break;
        case '\b': escape = "\\b"; break;
        case '\f': escape = "\\f"; break;
        case '\n': escape = "\\n"; break;
        case '\r': escape = "\\r"; break;
        case '\t': escape = "\\t"; break;
        default: continue;
        }
        out.append(run, p);
        out.append(escape, 2);
        run = p + 1;
    }
    out.append(run, end);
}

} // namespace

JsonValue::JsonValue(bool value)
    : kind(Boolean)
    , text(value ? "true" : "false")
{
}

JsonValue::JsonValue(int value)
    : kind(Integer)
    , text(std::to_string(value))
{
}

JsonValue::JsonValue(long long value)
    : kind(Integer)
    , text(std::to_string(value))
{
}

JsonValue::JsonValue(double value)
    : kind(Double)
    , text(formatDouble(value))
{
}

JsonValue::JsonValue(const char* value)
    : kind(String)
    , text(value ? value : "")
{
}

JsonValue& JsonValue::operator=(const std::string& value)
{
    kind = String;
    text = value;
    items.clear();
    members.clear();
    return *this;
}

JsonValue& JsonValue::operator=(const char* value)
{
    return *this = std::string(value ? value : "");
}

JsonValue& JsonValue::operator=(int value)
{
    kind = Integer;
    text = std::to_string(value);
    items.clear();
    members.clear();
    return *this;
}

JsonValue& JsonValue::operator[](const std::string& key)
{
    if (kind != Object) {
        kind = Object;
        text.clear();
        items.clear();
    }
    return members[key];
}

JsonValue& JsonValue::append()
{
    if (kind != Array) {
        kind = Array;
        text.clear();
        items.clear();
        members.clear();
    }
    items.emplace_back();
    return items.back();
}

unsigned JsonValue::size() const
{
    return kind == Array ? static_cast<unsigned>(items.size()) : 0u;
}

const JsonValue& JsonValue::get(const std::string& key) const
{
    if (kind != Object)
        return sharedNull();
    const auto it = members.find(key);
    return it == members.end() ? sharedNull() : it->second;
}

const JsonValue& JsonValue::at(unsigned index) const
{
    if (kind != Array || index >= items.size())
        return sharedNull();
    return items[index];
}

const char* JsonValue::asString(const char* fallback) const
{
    return kind == String ? text.c_str() : fallback;
}

int JsonValue::asInt(int fallback) const
{
    if (kind != Integer && kind != Double)
        return fallback;
    // As strtol: as many digits as there are, a fraction is cut off.
    long long number = 0;
    const char* begin = text.data();
    const auto result = std::from_chars(begin, begin + text.size(), number);
    if (result.ec != std::errc() || number < INT_MIN || number > INT_MAX)
        return fallback;
    return static_cast<int>(number);
}

double JsonValue::asDouble(double fallback) const
{
    if (kind != Integer && kind != Double)
        return fallback;
    double number = 0;
    if (!readDouble(text.data(), text.data() + text.size(), number, nullptr))
        return fallback;
    return number;
}

JsonValue JsonValue::parse(const std::string& text)
{
    if (text.empty())
        return JsonValue();
    try {
        const std::vector<std::string> tokens = tokenize(text);
        Parser parser(tokens);
        JsonValue value;
        parser.parseValue(value);
        if (parser.index != tokens.size())
            return JsonValue();
        return value;
    } catch (const std::exception&) {
        return JsonValue();
    }
}

std::string JsonValue::serialize() const
{
    std::string out;
    out.reserve(256);
    serializeTo(out);
    return out;
}

void JsonValue::serializeTo(std::string& out) const
{
    switch (kind) {
    case Integer:
    case Boolean:
    case Double:
        out += text;
        break;
    case String:
        out.push_back('"');
        escapeTo(out, text);
        out.push_back('"');
        break;
    case Array: {
        out.push_back('[');
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first)
                out.push_back(',');
            first = false;
            item.serializeTo(out);
        }
        out.push_back(']');
        break;
    }
    case Object: {
        out.push_back('{');
        bool first = true;
        for (const auto& member : members) {
            if (!first)
                out.push_back(',');
            first = false;
            out.push_back('"');
            out += member.first;
            out += "\":";
            member.second.serializeTo(out);
        }
        out.push_back('}');
        break;
    }
    default:
        out += "null";
        break;
    }
}

const JsonValue& JsonValue::sharedNull()
{
    static const JsonValue null;
    return null;
}
