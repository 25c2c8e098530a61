#include "service/tracks/xmlguard.h"

#include "service/tracks/reader.h"

#include <cctype>

namespace service::tracks {

namespace {

bool startsWithText(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The value of encoding="..." in an XML declaration, lower case; empty without one.
std::string declaredEncoding(const std::string& declaration)
{
    const size_t name = declaration.find("encoding");
    if (name == std::string::npos)
        return std::string();
    const size_t quote = declaration.find_first_of("\"'", name);
    if (quote == std::string::npos)
        return std::string();
    const size_t end = declaration.find(declaration[quote], quote + 1);
    std::string value = declaration.substr(quote + 1, end == std::string::npos ? end : end - quote - 1);
    for (char& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value;
}

// Encodings in which the bytes of "<" and ">" stand for nothing else.
bool readableEncoding(const std::string& name)
{
    for (const char* exact : { "utf-8", "utf8", "us-ascii", "ascii", "latin1", "latin-1" })
        if (name == exact)
            return true;
    for (const char* prefix : { "iso-8859-", "iso8859-", "windows-125", "cp125" })
        if (startsWithText(name, prefix))
            return true;
    return false;
}

} // namespace

XmlGuard::XmlGuard(QIODevice& source) : source_(source)
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 XmlGuard::readData(char* data, qint64 maxSize)
{
    if (atEnd())
        return 0;
    const qint64 got = source_.read(data, maxSize);
    if (got <= 0) {
        sourceDone_ = true;
        return 0;
    }
    for (qint64 i = 0; i < got; ++i)
        if (!take(data[i])) {
            offset_ += i;
            return i;
        }
    offset_ += got;
    return got;
}

void XmlGuard::begin(State state)
{
    state_ = state;
    run_ = 0;
    runLine_ = line_;
}

bool XmlGuard::refuse(const std::string& why, int64_t line)
{
    refusal_ = "The file holds " + why + " at " + lineText(line) + ".";
    return false;
}

bool XmlGuard::checkEncoding()
{
    const std::string encoding = declaredEncoding(lead_);
    if (encoding.empty() || readableEncoding(encoding))
        return true;
    refusal_ = "The file is written in the text encoding \"" + encoding.substr(0, 40)
        + "\"; Kestrel reads XML in UTF-8 or in an encoding of one byte per character.";
    return false;
}

bool XmlGuard::take(char c)
{
    if (c == '\0') {
        refusal_ = "The file is not XML in UTF-8 or in an encoding of one byte per character (it holds a zero byte at "
            + lineText(line_) + ").";
        return false;
    }
    if (c == '\n')
        ++line_;
    const char before = previous_, older = older_;
    older_ = previous_;
    previous_ = c;
    if (++run_ > static_cast<int64_t>(maxTokenBytes)) {
        const std::string size = std::to_string(maxTokenBytes / 1024) + " KB";
        if (state_ == State::Text || state_ == State::CData)
            return refuse("a text longer than " + size, runLine_);
        if (state_ == State::Open || state_ == State::StartTag || state_ == State::EndTag || state_ == State::Quoted)
            return refuse("a tag longer than " + size, runLine_);
        return refuse("markup longer than " + size, runLine_);
    }
    switch (state_) {
    case State::Text:
    case State::Open:
    case State::StartTag:
    case State::EndTag:
    case State::Quoted:
        return takeInTag(c, before);
    default:
        return takeInMarkup(c, before, older);
    }
}

// Text, tags and their quoted values.
bool XmlGuard::takeInTag(char c, char before)
{
    switch (state_) {
    case State::Text:
        if (c == '<')
            begin(State::Open);
        break;
    case State::Open:
        state_ = c == '/' ? State::EndTag : c == '?' ? State::Instruction : c == '!' ? State::Bang : State::StartTag;
        lead_.clear();
        if (state_ == State::StartTag && c == '>')
            begin(State::Text);
        break;
    case State::StartTag:
        if (c == '"' || c == '\'') {
            quote_ = c;
            quotedIn_ = state_;
            state_ = State::Quoted;
        } else if (c == '>') {
            if (before != '/' && ++depth_ > maxXmlDepth)
                return refuse("elements nested more than " + std::to_string(maxXmlDepth) + " deep", line_);
            begin(State::Text);
        }
        break;
    case State::EndTag:
        if (c == '>') {
            depth_ = depth_ > 0 ? depth_ - 1 : 0;
            begin(State::Text);
        }
        break;
    case State::Quoted:
        if (c == quote_)
            state_ = quotedIn_;
        break;
    default:
        break;
    }
    return true;
}

// Comments, CDATA, instructions and declarations.
bool XmlGuard::takeInMarkup(char c, char before, char older)
{
    switch (state_) {
    case State::Comment:
        // "<!---->" is the shortest comment (the run counts from the "!"); the
        // dashes of "<!--" do not end it.
        if (c == '>' && before == '-' && older == '-' && run_ >= 6)
            begin(State::Text);
        break;
    case State::CData:
        if (c == '>' && before == ']' && older == ']')
            begin(State::Text);
        break;
    case State::Instruction:
        if (lead_.size() < 512)
            lead_ += c;
        if (c == '>' && before == '?') {
            if (startsWithText(lead_, "xml") && !declarationChecked_) {
                declarationChecked_ = true;
                if (!checkEncoding())
                    return false;
            }
            begin(State::Text);
        }
        break;
    case State::Bang:
        lead_ += c;
        if (lead_ == "--") {
            state_ = State::Comment;
            break;
        }
        if (lead_ == "[CDATA[") {
            state_ = State::CData;
            break;
        }
        if (startsWithText("--", lead_.c_str()) || startsWithText("[CDATA[", lead_.c_str()))
            break;
        state_ = State::Declaration;
        [[fallthrough]];
    case State::Declaration:
        if (c == '"' || c == '\'') {
            quote_ = c;
            quotedIn_ = state_;
            state_ = State::Quoted;
        } else if (c == '[') {
            refusal_ = "The file declares entities or other definitions of its own at " + lineText(runLine_)
                + "; track files never do.";
            return false;
        } else if (c == '>') {
            begin(State::Text);
        }
        break;
    default:
        break;
    }
    return true;
}

} // namespace service::tracks
