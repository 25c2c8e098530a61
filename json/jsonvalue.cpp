#include "json/jsonvalue.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
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

// The decimal order of magnitude of a number's text (the exponent of its
// first significant digit), saturated far beyond any double's range.
long long magnitude(const char* p, const char* end)
{
    if (p != end && (*p == '+' || *p == '-'))
        ++p;
    long long position = 0; // of the first significant digit, against the decimal point
    bool found = false;
    long long integerDigits = 0;
    for (; p != end && isDigit(*p); ++p) {
        if (*p != '0' && !found) {
            found = true;
            integerDigits = 0;
        }
        if (found)
            ++integerDigits;
    }
    if (found)
        position = integerDigits - 1;
    if (p != end && *p == '.') {
        ++p;
        for (long long zeros = 1; p != end && isDigit(*p); ++p, ++zeros) {
            if (*p != '0' && !found) {
                found = true;
                position = -zeros;
            }
        }
    }
    if (!found)
        return 0;
    long long exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-'))
            ++p;
        for (; p != end && isDigit(*p); ++p)
            exponent = std::min(exponent * 10 + (*p - '0'), 1000000000LL);
        if (negative)
            exponent = -exponent;
    }
    return position + exponent;
}

// Reads the text straight into the tree, one value at a time: no token
// list, and the nesting limit applies as soon as a level opens.
class Parser {
public:
    Parser(const char* begin, const char* end)
        : m_p(begin)
        , m_end(end)
    {
    }

    void parseValue(JsonValue& value)
    {
        skipBlanks();
        if (m_p == m_end)
            throw std::out_of_range("JSON parse error - unexpected end");
        const char c = *m_p;
        if (c == '{') {
            ++m_p;
            enter();
            parseObject(value);
            --m_depth;
        } else if (c == '[') {
            ++m_p;
            enter();
            parseArray(value);
            --m_depth;
        } else if (c == '"') {
            value.kind = JsonValue::String;
            value.text = readString();
        } else if (literal("true") || literal("false")) {
            value.kind = JsonValue::Boolean;
            value.text = c == 't' ? "true" : "false";
        } else if (literal("null")) {
            value.kind = JsonValue::Null;
        } else {
            const size_t n = scanNumber(m_p, m_end);
            if (n == 0)
                throw std::runtime_error("JSON parse error - unexpected byte");
            parseNumber(m_p, m_p + n, value);
            m_p += n;
        }
    }

    // True when nothing but blanks is left.
    bool atEnd()
    {
        skipBlanks();
        return m_p == m_end;
    }

private:
    void skipBlanks()
    {
        while (m_p != m_end && isBlank(*m_p))
            ++m_p;
    }

    bool literal(const char* word)
    {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(m_end - m_p) < n || std::memcmp(m_p, word, n) != 0)
            return false;
        m_p += n;
        return true;
    }

    // The punctuation byte that follows, past blanks.
    char punctuation()
    {
        skipBlanks();
        if (m_p == m_end)
            throw std::out_of_range("JSON parse error - unexpected end");
        return *m_p++;
    }

    // A string from its opening quote; a backslash takes the next byte with
    // it, escapes are decoded.
    std::string readString()
    {
        const char* begin = ++m_p;
        while (m_p < m_end && *m_p != '"')
            m_p += *m_p == '\\' ? 2 : 1;
        if (m_p >= m_end)
            throw std::runtime_error("JSON string parse error - no closing quote");
        std::string text = decodeString(begin, m_p);
        ++m_p;
        return text;
    }

    void enter()
    {
        if (++m_depth > JsonValue::maxDepth)
            throw std::runtime_error("JSON parse error - nested too deeply");
    }

    static void parseNumber(const char* begin, const char* end, JsonValue& value)
    {
        const char* p = begin + (*begin == '+' ? 1 : 0);
        long long integer = 0;
        const auto result = std::from_chars(p, end, integer);
        if (result.ec == std::errc() && result.ptr == end && p != end && *p != '+') {
            value.kind = JsonValue::Integer;
            value.text = std::to_string(integer);
            return;
        }
        double number = 0;
        if (!readDouble(begin, end, number, nullptr)) {
            // Too small for a double is as good as zero; too large stays an error.
            if (magnitude(begin, end) >= 0)
                throw std::runtime_error("JSON number parse error");
            number = 0;
        }
        value.kind = JsonValue::Double;
        value.text = formatDouble(number);
    }

    void parseObject(JsonValue& value)
    {
        value.kind = JsonValue::Object;
        skipBlanks();
        if (m_p != m_end && *m_p == '}') {
            ++m_p;
            return;
        }
        for (;;) {
            skipBlanks();
            if (m_p == m_end || *m_p != '"')
                throw std::runtime_error("JSON object parse error - key is not a string");
            // Keys are strings like any other: their escapes are decoded.
            const std::string key = readString();
            if (punctuation() != ':')
                throw std::runtime_error("JSON object parse error - colon missing");
            JsonValue& member = value.members[key];
            member = JsonValue();
            parseValue(member);
            const char t = punctuation();
            if (t == '}')
                return;
            if (t != ',')
                throw std::runtime_error("JSON object parse error - unexpected char");
        }
    }

    void parseArray(JsonValue& value)
    {
        value.kind = JsonValue::Array;
        skipBlanks();
        if (m_p != m_end && *m_p == ']') {
            ++m_p;
            return;
        }
        for (;;) {
            value.items.emplace_back();
            parseValue(value.items.back());
            const char t = punctuation();
            if (t == ']')
                return;
            if (t != ',')
                throw std::runtime_error("JSON array parse error - unexpected char");
        }
    }

    const char* m_p;
    const char* m_end;
    int m_depth = 0;
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
        default:
            if (static_cast<unsigned char>(*p) < 0x20) {
                // Other control characters are not allowed raw in JSON text.
                static const char hex[] = "0123456789abcdef";
                out.append(run, p);
                out += "\\u00";
                out.push_back(hex[(*p >> 4) & 0x0f]);
                out.push_back(hex[*p & 0x0f]);
                run = p + 1;
            }
            continue;
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
        Parser parser(text.data(), text.data() + text.size());
        JsonValue value;
        parser.parseValue(value);
        if (!parser.atEnd())
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
            escapeTo(out, member.first);
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
