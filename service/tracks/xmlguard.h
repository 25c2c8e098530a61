#pragma once

#include <QIODevice>

#include <cstdint>
#include <string>

namespace service::tracks {

// Hands an XML document from `source` to QXmlStreamReader, which holds each
// text, tag, comment and the open elements whole in memory: the document is
// refused (it ends there, and refusal() tells why) once one of them runs
// longer than maxTokenBytes, its elements nest deeper than maxXmlDepth, it
// declares entities or other definitions of its own, or it is not written in
// UTF-8 or an encoding of one byte per character.
class XmlGuard : public QIODevice {
public:
    explicit XmlGuard(QIODevice& source);

    const std::string& refusal() const { return refusal_; }
    // The bytes handed on.
    int64_t offset() const { return offset_; }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return !refusal_.empty() || sourceDone_; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    enum class State { Text, Open, Bang, StartTag, EndTag, Quoted, Comment, CData, Instruction, Declaration };

    // Follows one byte; false once the document is refused.
    bool take(char c);
    bool takeInTag(char c, char before);
    bool takeInMarkup(char c, char before, char older);
    void begin(State state);
    bool refuse(const std::string& why, int64_t line);
    bool checkEncoding();

    QIODevice& source_;
    std::string refusal_;
    bool sourceDone_ = false;
    State state_ = State::Text;
    State quotedIn_ = State::StartTag; // where a quoted value is
    char quote_ = 0;
    char previous_ = 0, older_ = 0; // the last two bytes
    std::string lead_;     // the bytes after "<!" up to what they start, or of an instruction
    int64_t run_ = 0;      // bytes of the current text or markup
    int64_t runLine_ = 1;  // where it began
    int64_t line_ = 1;
    int64_t depth_ = 0;
    int64_t offset_ = 0;
    bool declarationChecked_ = false;
};

} // namespace service::tracks
