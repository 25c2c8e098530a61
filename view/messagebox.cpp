#include "view/messagebox.h"

#include <QPointer>
#include <QTimer>

#include "ui_messagebox.h"
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
    setWindowTitle(QString());
    formSize = size();
    setFixedSize(formSize);
}

MessageBox::~MessageBox() = default;

QString MessageBox::signPath(int code)
{
    switch (code) {
    case 201:
    case 222:
        return QStringLiteral("://assets/okSign.png");
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

    if (shownHandler()) {
        QPointer<MessageBox> box(this);
        QTimer::singleShot(0, this, [box] {
            if (box && shownHandler())
                shownHandler()(*box);
        });
    }
    return exec() == QDialog::Accepted;
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
