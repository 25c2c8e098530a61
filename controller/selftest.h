#pragma once

#include <QString>
#include <QTextStream>
#include <functional>

namespace controller {

// The checks behind "kestrel --test": a diagnostic that a user or a supporter
// can run on an installed copy. Each check prints one line, then a summary.
class SelfTest {
public:
    explicit SelfTest(QTextStream& out);

    // Runs every check; returns the number of failures.
    int run();

private:
    // A check returns an empty text when it passes, else the reason.
    using Check = std::function<QString()>;
    void check(const QString& name, const Check& body);

    QTextStream& m_out;
    int m_passed = 0;
    int m_failed = 0;
};

} // namespace controller
