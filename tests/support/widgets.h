#pragma once

#include <QLatin1String>
#include <QObject>
#include <QStackedWidget>
#include <QString>

namespace testsupport {

// The child of parent with that object name. A renamed or missing widget
// stops the test program with its name instead of crashing on a null pointer.
template <typename T = QWidget> T* child(const QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// The object name of the page the window's "stackedWidget" shows.
inline QString currentPage(const QObject* window)
{
    return child<QStackedWidget>(window, "stackedWidget")->currentWidget()->objectName();
}

} // namespace testsupport
