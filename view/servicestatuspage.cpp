#include "view/servicestatuspage.h"

#include <QDesktopServices>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "controller/maincontroller.h"

namespace view {

ServiceStatusPage::ServiceStatusPage(QWidget* parent)
    : QWidget(parent)
    , address(new QLabel(this))
    , state(new QLabel(this))
    , phone(new QLabel(this))
    , positions(new QLabel(this))
    , openButton(new QPushButton(tr("Open the phone page in the browser"), this))
    , startButton(new QPushButton(tr("Start the web service"), this))
    , poll(new QTimer(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    auto* form = new QFormLayout;
    form->setVerticalSpacing(10);
    form->addRow(tr("Address in use:"), address);
    form->addRow(tr("Answers:"), state);
    form->addRow(tr("Phone:"), phone);
    form->addRow(tr("Positions stored:"), positions);
    for (QLabel* label : { address, state, phone, positions }) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(openButton);
    buttons->addWidget(startButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addStretch();
    startButton->setObjectName(QStringLiteral("startServiceButton"));
    startButton->setVisible(false);

    connect(openButton, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(QUrl(phonePage)); });
    connect(startButton, &QPushButton::clicked, this, &ServiceStatusPage::start);
    // After a start the service needs a moment before it answers.
    poll->setInterval(300);
    connect(poll, &QTimer::timeout, this, [this] {
        if (--pollsLeft <= 0)
            poll->stop();
        emit statusWanted();
    });
    setStatus(controller::ServiceStatus());
}

QStringList ServiceStatusPage::shownTexts() const
{
    return { address->text(), state->text(), phone->text(), positions->text() };
}

void ServiceStatusPage::setStatus(const controller::ServiceStatus& status)
{
    address->setText(status.address.isEmpty() ? model::Model::baseUrl() : status.address);
    if (status.answers) {
        state->setText(status.problem.isEmpty() ? tr("yes") : tr("yes; %1").arg(status.problem));
        poll->stop();
    } else {
        state->setText(tr("no"));
    }
    phone->setText(status.phoneName.isEmpty() ? tr("none") : status.phoneName);
    positions->setText(status.answers && status.problem.isEmpty() ? status.positionsText() : QString());
    phonePage = status.phonePageUrl();
    openButton->setEnabled(status.answers);
    startButton->setVisible(!status.answers && controller::MainController::isLocalService());
}

void ServiceStatusPage::start()
{
    if (!emit startWanted()) {
        state->setText(tr("no; the service program could not be started"));
        return;
    }
    startButton->setEnabled(false);
    pollsLeft = 20;
    poll->start();
}

} // namespace view
