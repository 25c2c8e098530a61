#include "view/messagebox.h"

#include <QApplication>
#include <QTimer>

#include <iterator>

#include "controller/restclient.h"
#include "ui_messagebox.h"
#include "view/mainview.h"
#include "view/resources.h"

namespace view {

MessageBox::MessageBox(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint)
    , m_ui(std::make_unique<Ui::MessageBox>())
{
    m_ui->setupUi(this);
    setWindowTitle(tr("Kestrel"));
    // Titles and texts may come from the web service: never read them as markup.
    m_ui->titleLabel->setTextFormat(Qt::PlainText);
    m_ui->textLabel->setTextFormat(Qt::PlainText);
    m_formSize = size();
    setFixedSize(m_formSize);
}

MessageBox::~MessageBox() = default;

namespace {

// The sign of each kind of box and the name a screen reader gives it.
struct Sign {
    int code;
    const char* path;
    const char* name;
};

const Sign& signOf(int code)
{
    using controller::Status;
    static const Sign signs[] = {
        { controller::code(Status::Success), "://assets/okSign.png", QT_TRANSLATE_NOOP("view::MessageBox", "Success") },
        { controller::code(Status::Question), "://assets/questionSign.png",
          QT_TRANSLATE_NOOP("view::MessageBox", "Question") },
        { controller::code(Status::Information), "://assets/infoSign.png",
          QT_TRANSLATE_NOOP("view::MessageBox", "Information") },
        { controller::code(Status::Warning), "://assets/warningSign.png",
          QT_TRANSLATE_NOOP("view::MessageBox", "Warning") },
        // 204 and every network or HTTP failure, whose code is the status.
        { controller::code(Status::Error), "://assets/errorSign.png", QT_TRANSLATE_NOOP("view::MessageBox", "Error") },
    };
    for (const Sign& sign : signs) {
        if (sign.code == code)
            return sign;
    }
    return signs[std::size(signs) - 1];
}

} // namespace

QString MessageBox::signPath(int code)
{
    return QString::fromLatin1(signOf(code).path);
}

bool MessageBox::display(int code, QString title, QString text)
{
    m_ui->titleLabel->setText(title);
    m_ui->textLabel->setText(text);
    // An empty title would still take its line and the spacing below it.
    m_ui->titleLabel->setVisible(!title.isEmpty());
    m_ui->cancelButton->setVisible(code == controller::code(controller::Status::Question));
    m_ui->iconLabel->setPixmap(picture(signPath(code), this));
    fitText();
    // A question is answered with OK (Enter) or Cancel (Escape); the sign
    // tells a screen reader which kind of box this is.
    m_ui->iconLabel->setAccessibleName(tr(signOf(code).name));
    setAccessibleName(title.isEmpty() ? text : title);
    m_ui->okButton->setDefault(true);
    m_ui->okButton->setFocus(Qt::OtherFocusReason);
    // Parentless, so the main window's style does not reach the box, but
    // placed over the main window rather than in the corner of the screen.
    adjustPosition(mainWindow());

    if (m_shownHandler) {
        QTimer::singleShot(0, this, [this] {
            if (m_shownHandler)
                m_shownHandler(*this);
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
    const int needed = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(m_formSize.width())
                                                     : layout()->totalSizeHint().height();
    setFixedSize(m_formSize.width(), qMax(m_formSize.height(), needed));
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
