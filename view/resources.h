#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace view {

// Registers the compiled-in resource bundle (style sheet, pictures, fonts).
// The bundle lives in a static library, so every program and test that shows
// a view calls this once before building it.
void initResources();

// The program's icon, the map pin, in every size of the desktop's icon
// theme that the bundle holds.
QIcon applicationIcon();

// Makes the running program the application of the installed menu entry:
// sets the icon of its windows and the desktop file name, which Wayland
// compositors take as the windows' application id. Call it after
// initResources() and before the first window shows.
void setApplicationIdentity();

// The file names of the bundle's "assets/" folder, pictures and fonts.
QStringList assetFileNames();

// Registers the bundled font and makes the family "Helvetica Neue", which the
// style sheet asks for, resolve to it when the system has no such font.
// Returns the family name of the registered font; none when it could not be
// registered.
std::optional<QString> installFont();

// Reads the bundled style sheet; empty when it cannot be read.
QString styleSheetText();

// Pictures are rendered twice: at the size the forms show them and at twice
// that size ("name@2x.png") for high-density screens. Loads the picture at
// path in the resolution that suits widget's screen.
QPixmap picture(const QString& path, const QWidget* widget = nullptr);

// If pixmap is one of the bundle's pictures and widget sits on a
// high-density screen, the sharper variant of it; otherwise pixmap itself.
QPixmap sharperPixmap(const QPixmap& pixmap, const QWidget* widget);

// Replaces the pictures of every label under root (forms load the plain
// variants) by the variants that suit the screen.
void sharpenPictures(QWidget* root);

} // namespace view
