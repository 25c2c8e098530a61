#include <QtTest>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QProgressBar>
#include <QTableWidget>

#include "model/model.h"
#include "view/detailinfoview.h"
#include "view/droplabel.h"
#include "view/mainview.h"
#include "view/messagebox.h"
#include "view/resources.h"
#include "view/settingsview.h"

// What a screen reader and a weak eye get from every window: a name for each
// control and meaningful picture, and text that stands out from its ground.
class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void namesAndContrast_data();
    void namesAndContrast();

private:
    std::unique_ptr<QWidget> window(const QString& which);
    model::PhotoGeotagList m_photos;
    model::CameraList m_cameras;
};

void TestAccessibility::initTestCase()
{
    view::initResources();
    view::installFont();
    qApp->setStyleSheet(view::styleSheetText());
    m_photos = {model::PhotoGeotag(), model::PhotoGeotag()};
    m_photos[0].filePath = QStringLiteral("/photos/a.jpg");
    m_photos[0].errorTitle = QStringLiteral("Network error");
    m_photos[1].filePath = QStringLiteral("/photos/b.jpg");
    m_photos[1].success = true;
    m_cameras << model::Camera{QStringLiteral("X-T3"), QStringLiteral("SN1234"), {}};
}

// Each window as the program shows it, filled with a little of everything.
std::unique_ptr<QWidget> TestAccessibility::window(const QString& which)
{
    std::unique_ptr<QWidget> result;
    if (which == QLatin1String("main")) {
        auto* main = new view::MainView;
        main->assignCameraList(m_cameras);
        main->assignPhotoList(m_photos);
        result.reset(main);
    } else if (which == QLatin1String("settings")) {
        auto* settings = new view::SettingsView;
        settings->assignCameraList(m_cameras);
        result.reset(settings);
    } else if (which == QLatin1String("box")) {
        auto box = std::make_unique<view::MessageBox>();
        box->setShownHandler([](view::MessageBox& shown) { shown.accept(); });
        box->display(222, QStringLiteral("Remove?"), QStringLiteral("X-T3"));
        result = std::move(box);
    } else {
        result = std::make_unique<view::DetailInfoView>(m_photos.at(which == QLatin1String("failure") ? 0 : 1));
    }
    result->show();
    return result;
}

// The contrast ratio of two colours by their relative luminance (sRGB).
static double ratio(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF())
            + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

// The colours of the ground the style sheet gave a widget (every stop of a
// gradient); where it gave none, or a transparent one, the parent's shows.
static QList<QColor> groundOf(const QWidget* widget)
{
    for (; widget; widget = widget->parentWidget()) {
        if (!(widget->palette().resolve() & (1u << widget->backgroundRole())))
            continue;
        const QBrush brush = widget->palette().brush(widget->backgroundRole());
        if (const QGradient* gradient = brush.gradient()) {
            QList<QColor> colours;
            for (const QGradientStop& stop : gradient->stops())
                colours << stop.second;
            return colours;
        }
        if (brush.style() != Qt::NoBrush && brush.color().alpha() == 255)
            return {brush.color()};
    }
    return {};
}

void TestAccessibility::namesAndContrast_data()
{
    QTest::addColumn<QString>("window");
    for (const char* which : {"main", "settings", "box", "success", "failure"})
        QTest::newRow(which) << which;
}

// Every control reached by the keyboard or a drag, and every picture, has a
// name that assistive technology reads out. Every text of a control in use,
// failed result rows included, stands out from its ground by at least 4.5:1
// (buttons out of use are exempt).
void TestAccessibility::namesAndContrast()
{
    QFETCH(QString, window);
    const std::unique_ptr<QWidget> shown = this->window(window);
    QList<QPair<QColor, QList<QColor>>> pairs; // text, ground
    if (auto* table = shown->findChild<QTableWidget*>(QStringLiteral("geotagTable"))) {
        for (int row = 0; row < table->rowCount(); ++row) {
            if (table->item(row, table->columnCount() - 1)->text() == QLatin1String("FAIL"))
                pairs.append({table->item(row, 0)->foreground().color(), {table->item(row, 0)->background().color()}});
        }
        QVERIFY(!pairs.isEmpty());
    }
    int named = 0;
    for (QWidget* widget : shown->findChildren<QWidget*>()) {
        // Pop-up lists are windows of their own, named by their combo box.
        if (widget->window() != shown.get())
            continue;
        const auto* label = qobject_cast<QLabel*>(widget);
        const auto* button = qobject_cast<QAbstractButton*>(widget);
        if ((label && !label->pixmap(Qt::ReturnByValue).isNull()) || (widget->focusPolicy() & Qt::TabFocus)
            || qobject_cast<view::DropLabel*>(widget) || qobject_cast<QProgressBar*>(widget)) {
            ++named;
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
            QVERIFY(accessible);
            QVERIFY2(!accessible->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(widget->objectName() + QLatin1Char(' ') + widget->metaObject()->className()));
        }
        if ((label ? label->text() : button ? button->text() : QString()).isEmpty() || widget->isHidden()
            || (button && !button->isEnabled()))
            continue;
        widget->ensurePolished();
        const QPalette::ColorGroup group = widget->isEnabled() ? QPalette::Active : QPalette::Disabled;
        pairs.append({widget->palette().color(group, widget->foregroundRole()), groundOf(widget)});
    }
    QVERIFY(named >= 2);
    QVERIFY(pairs.size() >= 3);
    for (const auto& [text, ground] : pairs) {
        for (const QColor& colour : ground)
            QVERIFY2(ratio(text, colour) >= 4.5,
                     qPrintable(QStringLiteral("%1 on %2: %3").arg(text.name(), colour.name()).arg(ratio(text, colour))));
    }
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
