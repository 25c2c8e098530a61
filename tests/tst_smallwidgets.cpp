#include <QtTest>

#include <QBoxLayout>
#include <QLabel>
#include <QSignalSpy>

#include "model/model.h"
#include "support/widgets.h"
#include "view/cameraframe.h"
#include "view/camerawidget.h"
#include "view/clickwidget.h"
#include "view/menubutton.h"
#include "view/qrcodewidget.h"
#include "view/resources.h"

using testsupport::child;

// The click widget, the menu button and the camera frame of the main window.
class TestSmallWidgets : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { view::initResources(); }
    void clicks_data();
    void clicks();
    void menuButtonProperties();
    void cameraFrame();
    void cameraDrift();
    void qrCodeCentred();
};

void TestSmallWidgets::clicks_data()
{
    QTest::addColumn<bool>("menuButton");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("expected");
    for (bool menu : {false, true}) {
        const char* kind = menu ? "menu button" : "click widget";
        QTest::addRow("%s left", kind) << menu << int(Qt::LeftButton) << 1;
        QTest::addRow("%s right", kind) << menu << int(Qt::RightButton) << 0;
    }
}

void TestSmallWidgets::clicks()
{
    QFETCH(bool, menuButton);
    QFETCH(int, button);
    view::MenuButton menu;
    view::ClickWidget plain;
    QWidget* widget = menuButton ? static_cast<QWidget*>(&menu) : &plain;
    QSignalSpy spy(widget, SIGNAL(clicked()));
    widget->resize(237, 60);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget));
    // As the window system delivers it: a click on the menu button's text
    // reaches the button.
    const QPoint at = menuButton ? child(&menu, "htmlLabel")->geometry().center() : QPoint(10, 10);
    QTest::mouseClick(widget->windowHandle(), Qt::MouseButton(button), Qt::NoModifier, at);
    QTEST(spy.count(), "expected");
}

void TestSmallWidgets::menuButtonProperties()
{
    view::MenuButton button;
    const QString text = QStringLiteral("<font size=\"5\">Settings</font>\n<br/>\nSystem settings");
    QVERIFY(button.setProperty("text", text));
    QCOMPARE(child<QLabel>(&button, "htmlLabel")->text(), text);
    // Screen readers get the words without the markup.
    QCOMPARE(button.accessibleName(), QStringLiteral("Settings System settings"));

    auto* iconLabel = child<QLabel>(&button, "iconLabel");
    iconLabel->setAlignment(Qt::AlignTop);
    const QPixmap pixmap(QStringLiteral(":/assets/settingsIcon2.png"));
    QVERIFY(button.setProperty("pixmap", pixmap));
    QCOMPARE(button.pixmap().toImage(), pixmap.toImage());
    QCOMPARE(iconLabel->alignment(), Qt::AlignBottom);
}

void TestSmallWidgets::cameraFrame()
{
    model::Camera camera;
    camera.name = QStringLiteral("X-T3 <b>bold</b>");
    camera.serial = QStringLiteral("SN1234");
    camera.drift = QStringLiteral("drifts 7 s a week");
    for (int i = 0; i < 2; ++i) {
        camera.synchronizations << model::Synchronization{QString::number(i), QStringLiteral("2026-07-1%1 12:00:00").arg(i),
                                                          "+02:00", "Central European Summer Time"};
    }
    view::CameraFrame frame;
    frame.setCamera(camera);
    auto* name = child<QLabel>(&frame, "nameLabel");
    QCOMPARE(name->textFormat(), Qt::PlainText);
    // The labels of the layout in order: name, serial, "Synchronized on:", one per synchronization.
    QStringList texts;
    auto* layout = qobject_cast<QBoxLayout*>(name->parentWidget()->layout()->itemAt(1)->layout());
    QVERIFY(layout);
    for (int i = 0; i < layout->count(); ++i) {
        if (auto* label = qobject_cast<QLabel*>(layout->itemAt(i)->widget()))
            texts << label->text();
    }
    QCOMPARE(texts, (QStringList{camera.name, camera.serial, camera.drift, "Synchronized on:", "2026-07-10 12:00:00 Central European "
                                 "Summer Time", "2026-07-11 12:00:00 Central European Summer Time"}));
}

// The settings' entry shows the drift of the camera's clock under its
// serial number, and tells screen readers; nothing when unknown.
void TestSmallWidgets::cameraDrift()
{
    view::CameraWidget entry;
    for (const QString& drift : {QStringLiteral("drifts 2 min 5 s a week"), QString()}) {
        entry.setCamera({QStringLiteral("NIKON D750"), QStringLiteral("3001234"), {}, drift, 125000});
        auto* label = child<QLabel>(&entry, "driftLabel");
        QCOMPARE(label->text() + '|' + entry.accessibleDescription(),
                 drift.isEmpty() ? "|Serial number 3001234" : drift + "|Serial number 3001234, drifts 2 min 5 s a week");
        QCOMPARE(label->isVisibleTo(&entry), !drift.isEmpty());
    }
}

// The code, six pixels a module in 200 pixels, stands in the middle.
void TestSmallWidgets::qrCodeCentred()
{
    view::QrCodeWidget widget;
    widget.resize(300, 200);
    widget.setText("kestrel");
    const QImage shown = widget.grab().toImage();
    QRect dark;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            if (qGray(shown.pixel(x, y)) < 128)
                dark |= QRect(x, y, 1, 1);
    QCOMPARE(dark, QRect(87, 37, 126, 126));
}

QTEST_MAIN(TestSmallWidgets)
#include "tst_smallwidgets.moc"
