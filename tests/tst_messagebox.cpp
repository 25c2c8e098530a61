#include <QtTest>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>

#include "controller/maincontroller.h"
#include "view/mainview.h"
#include "view/messagebox.h"
#include "view/messageboxfactory.h"
#include "view/resources.h"

// The program's message boxes and the answer they give the controller. Each
// box is answered from inside its own modal loop through the test seam.
class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { view::initResources(); }
    void cleanup() { view::MessageBox::setShownHandler({}); }
    void signAndButtons_data();
    void signAndButtons();
    void longTextWrapsInsideTheBox_data();
    void longTextWrapsInsideTheBox();
    void answers_data();
    void answers();

private:
    struct Seen {
        bool shown = false;
        bool cancelVisible = false;
        bool okVisible = false;
        bool titleVisible = false;
        QImage sign;
        QString title;
        QString text;
        QString windowTitle;
        QPoint centre;
    };
    // Answers every box with action and records what it showed.
    static void answerWith(const QString& action, Seen* seen);
};

void TestMessageBox::answerWith(const QString& action, Seen* seen)
{
    view::MessageBox::setShownHandler([action, seen](view::MessageBox& box) {
        QVERIFY(box.isVisible());
        QVERIFY(box.isModal());
        auto* ok = box.findChild<QPushButton*>(QStringLiteral("okButton"));
        auto* cancel = box.findChild<QPushButton*>(QStringLiteral("cancelButton"));
        seen->shown = true;
        seen->okVisible = ok->isVisible();
        seen->cancelVisible = cancel->isVisible();
        seen->sign = box.findChild<QLabel*>(QStringLiteral("iconLabel"))->pixmap(Qt::ReturnByValue).toImage();
        seen->title = box.findChild<QLabel*>(QStringLiteral("titleLabel"))->text();
        seen->titleVisible = box.findChild<QLabel*>(QStringLiteral("titleLabel"))->isVisible();
        seen->text = box.findChild<QLabel*>(QStringLiteral("textLabel"))->text();
        seen->windowTitle = box.windowTitle();
        seen->centre = box.geometry().center();
        if (action == QLatin1String("ok"))
            QTest::mouseClick(ok, Qt::LeftButton);
        else if (action == QLatin1String("cancel"))
            QTest::mouseClick(cancel, Qt::LeftButton);
        else if (action == QLatin1String("escape"))
            QTest::keyClick(&box, Qt::Key_Escape);
        else if (action == QLatin1String("enter"))
            QTest::keyClick(&box, Qt::Key_Return);
        else if (action == QLatin1String("close"))
            box.close();
    });
}

void TestMessageBox::signAndButtons_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("sign");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("title"); // empty: the title line is hidden, the text stays
    QTest::newRow("201 success") << 201 << "okSign.png" << false << "";
    QTest::newRow("202 information") << 202 << "infoSign.png" << false << "Title";
    QTest::newRow("203 warning") << 203 << "warningSign.png" << false << "Title";
    QTest::newRow("204 error") << 204 << "errorSign.png" << false << "Title";
    QTest::newRow("222 question") << 222 << "questionSign.png" << true << "Title";
    QTest::newRow("404 HTTP status") << 404 << "errorSign.png" << false << "Title";
    QTest::newRow("0 no answer") << 0 << "errorSign.png" << false << "Title";
    QTest::newRow("negative") << -1 << "errorSign.png" << false << "Title";
}

void TestMessageBox::signAndButtons()
{
    QFETCH(int, code);
    QFETCH(QString, sign);
    QFETCH(bool, cancel);
    QFETCH(QString, title);
    Seen seen;
    answerWith(QStringLiteral("ok"), &seen);
    // Boxes open centred over the main window, wherever it is.
    view::MainView window;
    window.move(code == 201 ? QPoint(10, 10) : QPoint(100, 120));
    window.show();
    view::MessageBox box;
    QVERIFY(box.display(code, title, QStringLiteral("Text")));
    QVERIFY(seen.shown);
    QVERIFY(seen.okVisible);
    QCOMPARE(seen.cancelVisible, cancel);
    const QImage expected = QImage(QStringLiteral("://assets/") + sign).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(seen.sign.convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
    QCOMPARE(seen.title, title);
    QCOMPARE(seen.titleVisible, !title.isEmpty());
    QCOMPARE(seen.text, QStringLiteral("Text"));
    QCOMPARE(seen.windowTitle, QStringLiteral("Kestrel"));
    QVERIFY((seen.centre - window.geometry().center()).manhattanLength() <= 2);
}

void TestMessageBox::longTextWrapsInsideTheBox_data()
{
    QTest::addColumn<int>("sentences");
    QTest::addColumn<bool>("grows");
    QTest::newRow("one line") << 1 << false;
    QTest::newRow("two lines") << 2 << false;
    QTest::newRow("many lines") << 12 << true;
}

void TestMessageBox::longTextWrapsInsideTheBox()
{
    QFETCH(int, sentences);
    QFETCH(bool, grows);
    const QString text = QStringLiteral("The web service could not be reached. ").repeated(sentences).trimmed();
    QRect textRect;
    int textNeeds = 0;
    QSize boxSize;
    view::MessageBox::setShownHandler([&](view::MessageBox& box) {
        auto* label = box.findChild<QLabel*>(QStringLiteral("textLabel"));
        textRect = QRect(label->mapTo(&box, QPoint(0, 0)), label->size());
        textNeeds = label->heightForWidth(label->width());
        boxSize = box.size();
        box.reject();
    });
    view::MessageBox box;
    QVERIFY(!box.display(404, QStringLiteral("Network error"), text));
    // The width stays; the height grows only when the text needs it.
    QCOMPARE(boxSize.width(), 460);
    QCOMPARE(boxSize.height() > 150, grows);
    if (!grows)
        QCOMPARE(boxSize.height(), 150);
    QVERIFY(textRect.right() < 460);
    // Every line of the text is inside its label.
    QVERIFY2(textNeeds <= textRect.height(), qPrintable(QStringLiteral("%1 > %2").arg(textNeeds).arg(textRect.height())));
    QVERIFY(textRect.bottom() < boxSize.height());
}

void TestMessageBox::answers_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("result");
    QTest::newRow("222 OK") << 222 << "ok" << true;
    QTest::newRow("222 Cancel") << 222 << "cancel" << false;
    QTest::newRow("222 Escape") << 222 << "escape" << false;
    QTest::newRow("222 Return") << 222 << "enter" << true;
    QTest::newRow("222 closed") << 222 << "close" << false;
    QTest::newRow("201 OK") << 201 << "ok" << true;
    QTest::newRow("203 Escape") << 203 << "escape" << false;
    QTest::newRow("404 OK") << 404 << "ok" << true;
}

// The controller's infoPending gets the answer of the box the factory shows.
void TestMessageBox::answers()
{
    QFETCH(int, code);
    QFETCH(QString, action);
    QFETCH(bool, result);
    Seen seen;
    answerWith(action, &seen);
    controller::MainController controller;
    view::MessageBoxFactory factory;
    factory.connectController(controller);
    const bool answer = emit controller.infoPending(code, QStringLiteral("Remove camera"), QStringLiteral("X100V"));
    QCOMPARE(answer, result);
    QVERIFY(seen.shown);
    QCOMPARE(seen.title, QStringLiteral("Remove camera"));
    QCOMPARE(seen.text, QStringLiteral("X100V"));
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
