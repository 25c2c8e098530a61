#include "service/tracks/lines.h"

#include "service/text.h"
#include "service/tracks/reader.h"

namespace service::tracks {

std::string lineTooLong(int64_t line)
{
    return "The file holds a line longer than " + std::to_string(maxTokenBytes / 1024) + " KB at " + lineText(line)
        + ".";
}

bool Lines::next(std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c;
    bool any = false;
    while ((c = std::getc(file_)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < maxTokenBytes)
            line += static_cast<char>(c);
        else
            tooLong = true;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (any)
        ++number_;
    return any;
}

std::vector<std::string> splitFields(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == separator) {
            fields.push_back(trimmed(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(trimmed(field));
    return fields;
}

} // namespace service::tracks
