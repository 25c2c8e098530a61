#include "view/messagebox.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include "ui_messagebox.h"
#include "view/mainview.h"
#include "view/resources.h"

namespace view {

namespace {

MessageBox::ShownHandler& shownHandler()
{
    static MessageBox::ShownHandler handler;
    return handler;
}

} // namespace

MessageBox::MessageBox(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint)
    , ui(std::make_unique<Ui::MessageBox>())
{
    ui->setupUi(this);
    setWindowTitle(tr("Kestrel"));
    // Titles and texts may come from the web service: never read them as markup.
    ui->titleLabel->setTextFormat(Qt::PlainText);
    ui->textLabel->setTextFormat(Qt::PlainText);
    formSize = size();
    setFixedSize(formSize);
}

MessageBox::~MessageBox() = default;

QString MessageBox::signPath(int code)
{
    switch (code) {
    case 201:
        return QStringLiteral("://assets/okSign.png");
    case 222:
        return QStringLiteral("://assets/questionSign.png");
    case 202:
        return QStringLiteral("://assets/infoSign.png");
    case 203:
        return QStringLiteral("://assets/warningSign.png");
    default:
        // 204 and every network or HTTP failure, whose code is the status.
        return QStringLiteral("://assets/errorSign.png");
    }
}

bool MessageBox::display(int code, QString title, QString text)
{
    ui->titleLabel->setText(title);
    ui->textLabel->setText(text);
    // An empty title would still take its line and the spacing below it.
    ui->titleLabel->setVisible(!title.isEmpty());
    ui->cancelButton->hide();
    if (code == 222)
        ui->cancelButton->show();
    ui->iconLabel->setPixmap(picture(signPath(code), this));
    fitText();
    // A question is answered with OK (Enter) or Cancel (Escape); the sign
    // tells a screen reader which kind of box this is.
    ui->iconLabel->setAccessibleName(code == 222       ? tr("Question")
                                         : code == 201 ? tr("Success")
                                         : code == 202 ? tr("Information")
                                         : code == 203 ? tr("Warning")
                                                       : tr("Error"));
    setAccessibleName(title.isEmpty() ? text : title);
    ui->okButton->setDefault(true);
    ui->okButton->setFocus(Qt::OtherFocusReason);
    // Parentless, so the main window's style does not reach the box, but
    // placed over the main window rather than in the corner of the screen.
    adjustPosition(mainWindow());

    if (shownHandler()) {
        QPointer<MessageBox> box(this);
        QTimer::singleShot(0, this, [box] {
            if (box && shownHandler())
                shownHandler()(*box);
        });
    }
    return exec() == QDialog::Accepted;
}

QWidget* MessageBox::mainWindow()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (qobject_cast<MainView*>(window) && window->isVisible())
            return window;
    }
    return nullptr;
}

void MessageBox::fitText()
{
    // The box keeps its 460 by 150 pixels unless the text needs more lines
    // than that: a message is never cut off. Only the height grows.
    ensurePolished();
    for (QWidget* child : findChildren<QWidget*>())
        child->ensurePolished();
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(formSize.width())
                                                     : layout()->totalSizeHint().height();
    setFixedSize(formSize.width(), qMax(formSize.height(), needed));
}

void MessageBox::setShownHandler(ShownHandler handler)
{
    shownHandler() = std::move(handler);
}

void MessageBox::on_okButton_clicked()
{
    accept();
}

void MessageBox::on_cancelButton_clicked()
{
    reject();
}

} // namespace view
