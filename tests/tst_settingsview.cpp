#include <QtTest>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QRadioButton>
#include <QStackedWidget>

#include "controller/maincontroller.h"
#include "support/fakeservice.h"
#include "support/messageboxes.h"
#include "support/widgets.h"
#include "view/camerawidget.h"
#include "view/resources.h"
#include "view/settingsview.h"

using testsupport::HttpAnswer;

// The settings dialog: the two settings, its pages and the camera list.
// The modal dialog is worked from inside its own loop through the test seam.
class TestSettingsView : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void clickAnywhereOnAnOptionSelectsIt_data();
    void clickAnywhereOnAnOptionSelectsIt();
    void everyWayOfClosingStores_data();
    void everyWayOfClosingStores();
    void controllerSavesTheSettingsFile();
    void cameraListRebuilt();
    void oneRemoveButtonAtATime();
    void removalThroughTheController();

private:
    static model::CameraList cameras(int count, const QString& phone = QStringLiteral("Pixel 8"));
    static QList<view::CameraWidget*> entries(view::SettingsView& view);
    static QString listed(view::SettingsView& view);
    template <typename T = QWidget> static T* child(QObject& parent, const char* name)
    {
        return testsupport::child<T>(&parent, name);
    }
    static void click(QWidget* widget, Qt::MouseButton button = Qt::LeftButton, QPoint at = QPoint())
    {
        QTest::mouseClick(widget, button, Qt::NoModifier, at.isNull() ? QPoint(3, 3) : at);
    }
    testsupport::FakeService m_service;
};

void TestSettingsView::initTestCase()
{
    view::initResources();
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
}

model::CameraList TestSettingsView::cameras(int count, const QString& phone)
{
    model::CameraList list;
    list.phoneName = phone;
    for (int i = 0; i < count; ++i)
        list << model::Camera{QStringLiteral("Camera %1").arg(i), QStringLiteral("SN-%1").arg(i), {}};
    return list;
}

QList<view::CameraWidget*> TestSettingsView::entries(view::SettingsView& view)
{
    // In layout order.
    QList<view::CameraWidget*> result;
    QLayout* layout = child(view, "scrollAreaWidgetContents")->layout();
    for (int i = 0; i < layout->count(); ++i) {
        if (auto* entry = qobject_cast<view::CameraWidget*>(layout->itemAt(i)->widget()))
            result << entry;
    }
    return result;
}

// "phone: name serial, ..." as the camera page shows it.
QString TestSettingsView::listed(view::SettingsView& view)
{
    QStringList texts;
    for (view::CameraWidget* entry : entries(view))
        texts << child<QLabel>(*entry, "nameLabel")->text() + ' ' + child<QLabel>(*entry, "serialNumberLabel")->text();
    return child<QLabel>(view, "phoneNameLabel")->text() + ": " + texts.join(QStringLiteral(", "));
}

void TestSettingsView::clickAnywhereOnAnOptionSelectsIt_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("where"); // a label of the option; empty: its right margin
    // Each option on a label and on its bare margin (the labels all pass
    // their clicks on alike).
    QTest::newRow("rewrite, on its title") << "rewriteWidget" << "label_3";
    QTest::newRow("copies, on its margin") << "dontRewriteWidget" << "";
    QTest::newRow("modify, on its text") << "modifyTimeDateWidget" << "label_12";
    QTest::newRow("keep, on its margin") << "keepOriginalTimeDateWidget" << "";
}

void TestSettingsView::clickAnywhereOnAnOptionSelectsIt()
{
    QFETCH(QString, option);
    QFETCH(QString, where);
    const bool rewritePage = option.contains(QLatin1String("ewrite"));
    const bool on = !option.startsWith(QLatin1String("dont")) && !option.startsWith(QLatin1String("keep"));
    // Starting from the opposite of the choice; the other setting stays.
    model::Model model;
    model.rewrite = rewritePage ? !on : on;
    model.modifyTimeDate = rewritePage ? on : !on;
    view::SettingsView dialog;
    dialog.setShownHandler([&](view::SettingsView& view) {
        click(child(view, rewritePage ? "rewriteButton" : "timeDateButton"));
        // Routed as the window system would: to whatever widget lies under the point.
        QWidget* target = child(view, qPrintable(where.isEmpty() ? option : where));
        const QPoint at(where.isEmpty() ? target->width() - 2 : target->width() / 2, target->height() / 2);
        QTest::mouseClick(view.windowHandle(), Qt::LeftButton, Qt::NoModifier, target->mapTo(&view, at));
        QTest::keyClick(&view, Qt::Key_Escape);
    });
    dialog.showSettings(model);
    QCOMPARE(model.rewrite, on);
    QCOMPARE(model.modifyTimeDate, on);
}

void TestSettingsView::everyWayOfClosingStores_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("preferences"); // subfolders and sidecars, which ride along
    QTest::newRow("keyboard only, Escape") << "keys" << false;
    QTest::newRow("accepted") << "accept" << false;
    QTest::newRow("rejected") << "reject" << true;
}

void TestSettingsView::everyWayOfClosingStores()
{
    QFETCH(QString, how);
    QFETCH(bool, preferences);
    model::Model model;
    model.rewrite = false;
    model.modifyTimeDate = true;
    model.includeSubfolders = model.rawSidecars = preferences;
    QStringList focusPath;
    QStringList opened; // what the dialog showed on opening, and the pages of its tabs
    view::SettingsView dialog;
    dialog.setShownHandler([&](view::SettingsView& view) {
        for (const char* radio : {"rewriteRadio", "dontRewriteRadio", "modifyTimeDateRadio", "keepOriginalTimeDateRadio"}) {
            if (child<QRadioButton>(view, radio)->isChecked())
                opened << radio;
        }
        opened << QString::number(child<QCheckBox>(view, "includeSubfoldersCheckBox")->isChecked())
               << child<QComboBox>(view, "rawFilesComboBox")->currentText() << testsupport::currentPage(&view);
        if (how == QLatin1String("keys")) {
            // The tabs take the focus, the arrows move between them as in a
            // tab bar; Enter chooses the focused tab or option.
            if (!QTest::qWaitForWindowActive(&view))
                focusPath << QStringLiteral("not active");
            focusPath << view.focusWidget()->objectName();
            QTest::keyClick(view.focusWidget(), Qt::Key_Right);
            focusPath << view.focusWidget()->objectName();
            QTest::keyClick(view.focusWidget(), Qt::Key_Tab);
            focusPath << view.focusWidget()->objectName();
            for (const char* name : {"rewriteButton", "rewriteRadio", "timeDateButton", "modifyTimeDateRadio"}) {
                child(view, name)->setFocus();
                QTest::keyClick(child(view, name), Qt::Key_Return);
            }
            focusPath << child<QStackedWidget>(view, "stackedWidget")->currentWidget()->objectName();
            QTest::keyClick(view.focusWidget(), Qt::Key_Escape);
            if (view.isVisible()) {
                focusPath << QStringLiteral("Escape did not close");
                view.close();
            }
            return;
        }
        click(child(view, "rewriteWidget"));
        for (const char* tab : {"cameraButton", "serviceButton", "rewriteButton", "timeDateButton"}) {
            click(child(view, tab)); // the focus frame goes with it: no other tab looks chosen
            opened << testsupport::currentPage(&view) + (view.focusWidget() == child(view, tab) ? "" : " (focus elsewhere)");
        }
        click(child(view, "keepOriginalTimeDateWidget"));
        if (how == QLatin1String("accept"))
            view.accept();
        else
            view.reject(); // as Escape and the close button do
    });
    dialog.showSettings(model);
    QVERIFY(!dialog.isVisible());
    const bool keys = how == QLatin1String("keys");
    QVERIFY(model.rewrite);
    QCOMPARE(model.modifyTimeDate, keys);
    QCOMPARE(model.includeSubfolders && model.rawSidecars, preferences);
    if (keys)
        QCOMPARE(focusPath, (QStringList{"rewriteButton", "timeDateButton", "keepOriginalTimeDateRadio", "timeDatePage"}));
    // Opened again, on its first page whichever it was left on, it shows what was stored.
    dialog.showSettings(model);
    const QString pictures = preferences ? QStringLiteral("write an XMP sidecar") : QStringLiteral("write into the file");
    const QStringList tabs = keys ? QStringList() : QStringList{"cameraPage", "servicePage", "rewritePage", "timeDatePage"};
    const QStringList first{"dontRewriteRadio", "modifyTimeDateRadio", QString::number(preferences), pictures, "rewritePage"};
    const QStringList second{"rewriteRadio", keys ? "modifyTimeDateRadio" : "keepOriginalTimeDateRadio",
                             QString::number(preferences), pictures, "rewritePage"};
    QCOMPARE(opened, first + tabs + second + tabs);
}

void TestSettingsView::controllerSavesTheSettingsFile()
{
    const QString path = model::Model::configFilePath();
    QFile::remove(path);
    QFile::remove(model::Model::preferencesFilePath());
    auto state = std::make_shared<model::Model>();
    controller::MainController controller(state);
    view::SettingsView view;
    model::Model saved;
    view.connectController(controller);
    state->rewrite = false;
    state->modifyTimeDate = true;
    state->replacePlaceNames = true;
    QList<bool> replace; // checked and enabled as shown, enabled once names are off
    m_service.enqueue(HttpAnswer::json(200, R"({"cameras":[{"cameraName":"X-T3","serial":"SN1","synchronizations":[]}],)"
                                            R"("phoneName":"Pixel 9"})"));
    view.setShownHandler([&](view::SettingsView& view) {
        // The camera tab fetches the list afresh.
        click(child(view, "cameraButton"));
        QTRY_COMPARE(listed(view), QStringLiteral("Pixel 9: X-T3 SN1"));
        click(child(view, "rewriteWidget"));
        click(child(view, "timeDateButton"));
        click(child(view, "keepOriginalTimeDateWidget"));
        click(child(view, "rewriteButton"));
        child<QCheckBox>(view, "includeSubfoldersCheckBox")->setChecked(true);
        child<QComboBox>(view, "rawFilesComboBox")->setCurrentIndex(1);
        const auto* replaceBox = child<QCheckBox>(view, "replacePlaceNamesCheckBox");
        replace << replaceBox->isChecked() << replaceBox->isEnabled();
        click(child(view, "writePlaceNamesCheckBox"));
        replace << replaceBox->isEnabled();
        QTest::keyClick(&view, Qt::Key_Escape);
    });
    controller.toSettings();
    saved.loadPreferences(model::Model::preferencesFilePath());
    QVERIFY(saved.includeSubfolders && saved.rawSidecars && !saved.writePlaceNames && saved.replacePlaceNames);
    QCOMPARE(replace, (QList<bool>{true, true, false}));
    QVERIFY(saved.load(path));
    QVERIFY(saved.rewrite && !saved.modifyTimeDate);
}

void TestSettingsView::cameraListRebuilt()
{
    view::SettingsView view;
    model::CameraList three = cameras(3);
    view.assignCameraList(three);
    QCOMPARE(listed(view), QStringLiteral("Pixel 8: Camera 0 SN-0, Camera 1 SN-1, Camera 2 SN-2"));
    // The list ends with a spacer, and a rebuild leaves nothing of the old one.
    QLayout* layout = child(view, "scrollAreaWidgetContents")->layout();
    QVERIFY(layout->itemAt(3)->spacerItem());
    QList<QPointer<view::CameraWidget>> old;
    for (view::CameraWidget* entry : entries(view))
        old << entry;
    model::CameraList two = cameras(2, QStringLiteral("iPhone"));
    two[0].name = QStringLiteral("<b>X-T4</b>");
    view.assignCameraList(two);
    for (const QPointer<view::CameraWidget>& entry : old)
        QVERIFY(entry.isNull());
    QCOMPARE(layout->count(), 3);
    QCOMPARE(listed(view), QStringLiteral("iPhone: <b>X-T4</b> SN-0, Camera 1 SN-1"));
    QCOMPARE(child<QLabel>(*entries(view)[0], "nameLabel")->textFormat(), Qt::PlainText);
    model::CameraList none = cameras(0, QStringLiteral("Pixel 8"));
    view.assignCameraList(none);
    QCOMPARE(layout->count(), 1);
    QCOMPARE(listed(view), QStringLiteral("Pixel 8: "));
}

// Only the selected entry shows its remove button.
void TestSettingsView::oneRemoveButtonAtATime()
{
    view::SettingsView view;
    model::CameraList list = cameras(3);
    view.assignCameraList(list);
    const QList<view::CameraWidget*> shown = entries(view);
    const auto removeShown = [&view] {
        QString flags;
        for (view::CameraWidget* entry : entries(view))
            flags += child(*entry, "removeButton")->isVisibleTo(entry) ? '1' : '0';
        return flags;
    };
    QCOMPARE(removeShown(), QStringLiteral("000"));
    click(shown[0], Qt::RightButton);
    QCOMPARE(removeShown(), QStringLiteral("000"));
    click(shown[0]);
    QCOMPARE(removeShown(), QStringLiteral("100"));
    click(shown[2]);
    QCOMPARE(removeShown(), QStringLiteral("001"));
    // A click on the entry's name label selects the entry too.
    click(child(*shown[1], "nameLabel"));
    QCOMPARE(removeShown(), QStringLiteral("010"));
    // A rebuild clears the selection, and so does the end of the selected entry.
    view.assignCameraList(list);
    QCOMPARE(view.selectedCameraWidget(), nullptr);
    QCOMPARE(removeShown(), QStringLiteral("000"));
    click(entries(view)[0]);
    delete entries(view)[1];
    QCOMPARE(view.selectedCameraWidget(), entries(view)[0]);
    delete entries(view)[0];
    QCOMPARE(view.selectedCameraWidget(), nullptr);
}

// A camera's remove button, or Delete on the focused entry, asks the
// controller. While it asks for confirmation, a camera-list answer may
// rebuild the list and delete the entry: the camera it got stays valid.
void TestSettingsView::removalThroughTheController()
{
    auto state = std::make_shared<model::Model>();
    controller::MainController controller(state);
    state->userID = QStringLiteral("user-1");
    testsupport::MessageBoxes boxes(controller);
    boxes.answer = false;
    view::SettingsView view;
    view.connectController(controller);
    model::CameraList list = cameras(3, QStringLiteral("Galaxy"));
    list[1].synchronizations << model::Synchronization{"s1", "2026-07-01 10:00:00", "+02:00", "CEST"};
    emit controller.camerasUpdated(list);
    click(entries(view)[0]);
    click(child(*entries(view)[0], "removeButton"));
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title, QStringLiteral("Do you really want to remove the camera Camera 0?"));

    m_service.reset();
    boxes.answerer = [&](const testsupport::MessageBoxes::Message&) {
        model::CameraList fresh = cameras(0);
        emit controller.camerasUpdated(fresh);
        return true;
    };
    m_service.enqueue(HttpAnswer::json(200, "{}"));
    m_service.enqueue(HttpAnswer::json(200, R"({"cameras":[],"phoneName":"Galaxy"})"));
    QPointer<view::CameraWidget> entry = entries(view)[1];
    view.show();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    entry->setFocus();
    QVERIFY(child(*entry, "removeButton")->isVisibleTo(entry));
    QCOMPARE(child(*entry, "removeButton")->accessibleName(), QStringLiteral("Remove Camera 1"));
    QTest::keyClick(entry, Qt::Key_Delete);
    QVERIFY(entry.isNull());
    QCOMPARE(boxes.shown.size(), 2);
    QTRY_COMPARE(m_service.requestsTo("/getSyncList").size(), 1);
    QCOMPARE(m_service.requestsTo("/removeCamera").value(0).body,
             QByteArray(R"({"synchronizations":["s1"],"userID":"user-1"})"));
}

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
