#include <QtTest>

#include <QLabel>
#include <QPushButton>

#include "controller/maincontroller.h"
#include "support/widgets.h"
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
    void answers_data();
    void answers();
    void longTextWrapsInsideTheBox_data();
    void longTextWrapsInsideTheBox();
};

using testsupport::child;

void TestMessageBox::answers_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("sign");
    QTest::addColumn<bool>("cancel"); // the box offers Cancel beside OK
    QTest::addColumn<QString>("title"); // empty: the title line is hidden, the text stays
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("result");
    QTest::newRow("201 success") << 201 << "okSign.png" << false << "" << "ok" << true;
    QTest::newRow("202 information") << 202 << "infoSign.png" << false << "Title" << "ok" << true;
    QTest::newRow("203 warning, Escape") << 203 << "warningSign.png" << false << "Title" << "escape" << false;
    QTest::newRow("404 error") << 404 << "errorSign.png" << false << "Title" << "ok" << true;
    QTest::newRow("222 question, Cancel") << 222 << "questionSign.png" << true << "Title" << "cancel" << false;
    QTest::newRow("222 question, Return") << 222 << "questionSign.png" << true << "Title" << "enter" << true;
}

// The controller's infoPending shows a box through the factory, centred over
// the main window wherever it is, and gets the user's answer.
void TestMessageBox::answers()
{
    QFETCH(int, code);
    QFETCH(QString, sign);
    QFETCH(bool, cancel);
    QFETCH(QString, title);
    QFETCH(QString, action);
    view::MainView window;
    window.move(code == 201 ? QPoint(10, 10) : QPoint(100, 120));
    window.show();
    QStringList seen;
    view::MessageBoxFactory factory;
    factory.setShownHandler([&](view::MessageBox& box) {
        auto* ok = child<QPushButton>(&box, "okButton");
        auto* no = child<QPushButton>(&box, "cancelButton");
        const QImage expected = QImage(QStringLiteral("://assets/") + sign).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        seen << QString::number(box.isVisible() && box.isModal() && ok->isVisible() && no->isVisible() == cancel)
             << QString::number(child<QLabel>(&box, "iconLabel")->pixmap(Qt::ReturnByValue).toImage()
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied) == expected)
             << QString::number(child<QLabel>(&box, "titleLabel")->isVisible()) + child<QLabel>(&box, "titleLabel")->text()
             << child<QLabel>(&box, "textLabel")->text()
             << QString::number((box.geometry().center() - window.geometry().center()).manhattanLength() <= 2);
        if (action == QLatin1String("ok"))
            QTest::mouseClick(ok, Qt::LeftButton);
        else if (action == QLatin1String("cancel"))
            QTest::mouseClick(no, Qt::LeftButton);
        else
            QTest::keyClick(&box, action == QLatin1String("enter") ? Qt::Key_Return : Qt::Key_Escape);
    });
    controller::MainController controller;
    factory.connectController(controller);
    QTEST(bool(emit controller.infoPending(code, title, QStringLiteral("X100V"))), "result");
    const QString titleLine = QString::number(!title.isEmpty()) + title;
    QCOMPARE(seen, (QStringList{"1", "1", titleLine, "X100V", "1"}));
}

void TestMessageBox::longTextWrapsInsideTheBox_data()
{
    QTest::addColumn<int>("sentences");
    QTest::addColumn<bool>("grows");
    QTest::newRow("one line") << 1 << false;
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
    view::MessageBox box;
    box.setShownHandler([&](view::MessageBox& box) {
        auto* label = box.findChild<QLabel*>(QStringLiteral("textLabel"));
        textRect = QRect(label->mapTo(&box, QPoint(0, 0)), label->size());
        textNeeds = label->heightForWidth(label->width());
        boxSize = box.size();
        box.reject();
    });
    QVERIFY(!box.display(404, QStringLiteral("Network error"), text));
    // The width stays; the height grows only when the text needs it.
    QCOMPARE(boxSize.width(), 460);
    QVERIFY2(grows ? boxSize.height() > 150 : boxSize.height() == 150, qPrintable(QString::number(boxSize.height())));
    QVERIFY(textRect.right() < 460);
    // Every line of the text is inside its label.
    QVERIFY2(textNeeds <= textRect.height(), qPrintable(QStringLiteral("%1 > %2").arg(textNeeds).arg(textRect.height())));
    QVERIFY(textRect.bottom() < boxSize.height());
}

QTEST_MAIN(TestMessageBox)
#include "tst_messagebox.moc"
