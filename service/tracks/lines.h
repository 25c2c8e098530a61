#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace service::tracks {

// Reads the lines of a text file, each of at most maxTokenBytes; a longer one
// is cut and flagged.
class Lines {
public:
    explicit Lines(std::FILE* file) : file_(file) {}
    bool next(std::string& line, bool& tooLong);
    int64_t number() const { return number_; }
    int64_t position() const { return std::ftell(file_); }

private:
    std::FILE* file_;
    int64_t number_ = 0;
};

// Why a file with a line that is too long is refused.
std::string lineTooLong(int64_t line);

// The fields of a line, trimmed; a field in double quotes may hold the
// separator, and "" stands for a quote.
std::vector<std::string> splitFields(const std::string& line, char separator);

} // namespace service::tracks
