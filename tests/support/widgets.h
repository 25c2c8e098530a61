#pragma once

#include <QApplication>
#include <QLatin1String>
#include <QObject>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

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

// Acts on the modal dialog that the next step opens, from inside the
// dialog's own event loop, as a user would; nothing happens when no dialog
// is open by then.
inline void onNextModal(QObject* context, std::function<void(QWidget*)> action)
{
    QTimer::singleShot(0, context, [action] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            action(dialog);
    });
}

// The first argument of every emission a spy caught, as text: the paths a
// chooser or a drop handed on, in order.
inline QStringList firstArguments(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& arguments : spy)
        texts << arguments.value(0).toString();
    return texts;
}

} // namespace testsupport
