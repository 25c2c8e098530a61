#include <QtTest>

#include <QBoxLayout>
#include <QLabel>
#include <QSignalSpy>

#include "model/model.h"
#include "view/cameraframe.h"
#include "view/clickwidget.h"
#include "view/menubutton.h"
#include "view/resources.h"

// The click widget, the menu button and the camera frame of the main window.
class TestSmallWidgets : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { view::initResources(); }
    void clicks_data();
    void clicks();
    void menuButtonProperties();
    void menuButtonForm();
    void cameraFrame_data();
    void cameraFrame();
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
        QTest::addRow("%s middle", kind) << menu << int(Qt::MiddleButton) << 0;
    }
}

void TestSmallWidgets::clicks()
{
    QFETCH(bool, menuButton);
    QFETCH(int, button);
    QFETCH(int, expected);
    view::MenuButton menu;
    view::ClickWidget plain;
    QWidget* widget = menuButton ? static_cast<QWidget*>(&menu) : &plain;
    QSignalSpy spy(widget, SIGNAL(clicked()));
    widget->resize(200, 60);
    QTest::mouseClick(widget, Qt::MouseButton(button), Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(spy.count(), expected);
}

void TestSmallWidgets::menuButtonProperties()
{
    view::MenuButton button;
    const QString text = QStringLiteral("<font size=\"5\">Settings</font>\n<br/>\nSystem settings");
    QVERIFY(button.setProperty("text", text));
    QCOMPARE(button.text(), text);
    QCOMPARE(button.property("text").toString(), text);
    QCOMPARE(button.findChild<QLabel*>(QStringLiteral("htmlLabel"))->text(), text);

    auto* iconLabel = button.findChild<QLabel*>(QStringLiteral("iconLabel"));
    iconLabel->setAlignment(Qt::AlignTop);
    const QPixmap pixmap(QStringLiteral(":/assets/settingsIcon2.png"));
    QVERIFY(!pixmap.isNull());
    QVERIFY(button.setProperty("pixmap", pixmap));
    QCOMPARE(button.pixmap().size(), pixmap.size());
    QCOMPARE(button.pixmap().toImage(), pixmap.toImage());
    QCOMPARE(iconLabel->alignment(), Qt::AlignBottom);
}

void TestSmallWidgets::menuButtonForm()
{
    view::MenuButton button;
    QCOMPARE(button.size(), QSize(237, 40));
    auto* htmlLabel = button.findChild<QLabel*>(QStringLiteral("htmlLabel"));
    // Disabled, so that clicks on the text reach the button.
    QVERIFY(!htmlLabel->isEnabled());
    QVERIFY(htmlLabel->wordWrap());
}

void TestSmallWidgets::cameraFrame_data()
{
    QTest::addColumn<int>("synchronizations");
    QTest::newRow("none") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("three") << 3;
}

void TestSmallWidgets::cameraFrame()
{
    QFETCH(int, synchronizations);
    model::Camera camera;
    camera.name = QStringLiteral("X-T3 <b>bold</b>");
    camera.serial = QStringLiteral("SN1234");
    for (int i = 0; i < synchronizations; ++i) {
        camera.synchronizations << model::Synchronization{QString::number(i), QStringLiteral("2026-07-1%1 12:00:00").arg(i),
                                                          "+02:00", "Central European Summer Time"};
    }
    view::CameraFrame frame;
    frame.setCamera(camera);
    auto* name = frame.findChild<QLabel*>(QStringLiteral("nameLabel"));
    auto* serial = frame.findChild<QLabel*>(QStringLiteral("serialNumberLabel"));
    QVERIFY(name && serial);
    QCOMPARE(name->text(), camera.name);
    QCOMPARE(name->textFormat(), Qt::PlainText);
    QCOMPARE(serial->text(), camera.serial);
    auto* icon = frame.findChild<QLabel*>(QStringLiteral("iconLabel"));
    QVERIFY(icon && !icon->pixmap(Qt::ReturnByValue).isNull());

    // The labels of the layout in order: name, serial, "Synchronized on:", one per synchronization.
    QStringList texts;
    const QList<QLabel*> labels = frame.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    auto* layout = qobject_cast<QBoxLayout*>(name->parentWidget()->layout()->itemAt(1)->layout());
    QVERIFY(layout);
    for (int i = 0; i < layout->count(); ++i) {
        if (auto* label = qobject_cast<QLabel*>(layout->itemAt(i)->widget()))
            texts << label->text();
    }
    QStringList expected{camera.name, camera.serial, QStringLiteral("Synchronized on:")};
    for (const model::Synchronization& s : camera.synchronizations)
        expected << s.timeZoneTime + QLatin1Char(' ') + s.timeZoneName;
    QCOMPARE(texts, expected);
    // Icon, name, serial, caption and the synchronization labels, all children of the frame.
    QCOMPARE(labels.size(), 4 + synchronizations);
}

QTEST_MAIN(TestSmallWidgets)
#include "tst_smallwidgets.moc"
