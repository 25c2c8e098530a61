#pragma once

#include <QString>

namespace model {

// Why something could not be done, in the words the user reads. Every desktop
// function that can fail returns bool (or std::optional<T>) and fills a
// Failure the caller may pass; nullptr means the caller only needs the bool.
struct Failure {
    QString title;  // the heading of the message that reports it
    QString detail; // the full text shown under the heading
    QString cause;  // the cause alone, in plain words ("the disk is full")

    bool isEmpty() const { return title.isEmpty() && detail.isEmpty() && cause.isEmpty(); }
};

// Fills *failure when the caller asked for it.
inline void fail(Failure* failure, const QString& title, const QString& detail = {}, const QString& cause = {})
{
    if (failure)
        *failure = Failure{title, detail, cause};
}

} // namespace model
