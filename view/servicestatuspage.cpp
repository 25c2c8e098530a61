#include "view/servicestatuspage.h"

#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "controller/maincontroller.h"
#include "view/mapview.h"

namespace view {

namespace {

QString linkText(const controller::ServiceStatus& status)
{
    if (!status.linked)
        return ServiceStatusPage::tr("This computer is not linked to a phone yet.");
    if (status.phoneName.isEmpty())
        return ServiceStatusPage::tr("unknown");
    QString text = ServiceStatusPage::tr("the phone '%1'").arg(status.phoneName);
    if (status.demo)
        text += ServiceStatusPage::tr(" (demo positions)");
    if (!status.userId.isEmpty())
        text += ServiceStatusPage::tr(", account %1").arg(status.userId);
    return text;
}

} // namespace

ServiceStatusPage::ServiceStatusPage(QWidget* parent)
    : QWidget(parent)
    , m_address(new QLabel(this))
    , m_state(new QLabel(this))
    , m_link(new QLabel(this))
    , m_positions(new QLabel(this))
    , m_openButton(new QPushButton(tr("Open the phone page in the browser"), this))
    , m_startButton(new QPushButton(tr("Start the web service"), this))
    , m_linkButton(new QPushButton(this))
    , m_forgetButton(new QPushButton(tr("Forget this link"), this))
    , m_poll(new QTimer(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 18);
    auto* form = new QFormLayout;
    form->setVerticalSpacing(10);
    form->addRow(tr("Address in use:"), m_address);
    form->addRow(tr("Answers:"), m_state);
    form->addRow(tr("Linked to:"), m_link);
    form->addRow(tr("Positions stored:"), m_positions);
    for (QLabel* label : { m_address, m_state, m_link, m_positions }) {
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_openButton);
    buttons->addWidget(m_startButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    auto* linkButtons = new QHBoxLayout;
    linkButtons->addWidget(m_linkButton);
    linkButtons->addWidget(m_forgetButton);
    linkButtons->addStretch();
    layout->addLayout(linkButtons);
    m_linkButton->setObjectName(QStringLiteral("linkButton"));
    m_forgetButton->setObjectName(QStringLiteral("forgetLinkButton"));
    layout->addStretch();
    m_startButton->setObjectName(QStringLiteral("startServiceButton"));
    m_startButton->setVisible(false);

    connect(m_openButton, &QPushButton::clicked, this, &ServiceStatusPage::pageWanted);
    connect(m_linkButton, &QPushButton::clicked, this, [this] { emit linkHelpWanted(m_status); });
    connect(m_forgetButton, &QPushButton::clicked, this, [this] {
        if (emit forgetWanted())
            emit linkForgotten();
    });
    connect(m_startButton, &QPushButton::clicked, this, &ServiceStatusPage::start);
    // After a start the service needs a moment before it answers.
    m_poll->setInterval(300);
    connect(m_poll, &QTimer::timeout, this, [this] {
        if (--m_pollsLeft <= 0)
            m_poll->stop();
        emit statusWanted();
    });
    setStatus(controller::ServiceStatus());
}

QStringList ServiceStatusPage::shownTexts() const
{
    return { m_address->text(), m_state->text(), m_link->text(), m_positions->text() };
}

void ServiceStatusPage::setStatus(const controller::ServiceStatus& status)
{
    m_address->setText(status.address.isEmpty() ? model::Model::baseUrl() : status.address);
    if (status.answers) {
        m_state->setText(status.problem.isEmpty() ? tr("yes") : tr("yes; %1").arg(status.problem));
        m_poll->stop();
    } else {
        m_state->setText(tr("no"));
    }
    m_link->setText(linkText(status));
    m_positions->setText(status.answers && status.problem.isEmpty() ? status.positionsText() : QString());
    if (status.answers && status.problem.isEmpty() && status.positions > 0 && status.last != m_status.last)
        emit trackWanted(status.last);
    else if (status.positions <= 0 && m_map)
        m_map->setVisible(false);
    m_status = status;
    m_linkButton->setText(status.linked ? tr("Link to another phone...") : tr("Link to a phone..."));
    // How to link needs the phone page the service names.
    m_linkButton->setEnabled(status.answers);
    m_forgetButton->setVisible(status.linked);
    m_openButton->setEnabled(status.answers);
    m_startButton->setVisible(!status.answers && controller::MainController::isLocalService());
}

void ServiceStatusPage::setTrack(const model::Track& track)
{
    // Where the positions are: the last day's track on a small map, made
    // only once there is one (a map holds tens of megabytes).
    if (track.isEmpty() && !m_map)
        return;
    if (!m_map) {
        m_map = new MapView(this);
        m_map->setObjectName(QStringLiteral("positionsMap"));
        m_map->setAccessibleName(tr("Map of the last day with positions"));
        m_map->setFixedHeight(150);
        static_cast<QVBoxLayout*>(layout())->insertWidget(1, m_map);
    }
    m_map->setTrack(track);
    m_map->setVisible(!track.isEmpty());
    m_map->fitAll();
}

void ServiceStatusPage::start()
{
    if (!emit startWanted()) {
        m_state->setText(tr("no; the service program could not be started"));
        return;
    }
    m_startButton->setEnabled(false);
    m_pollsLeft = 20;
    m_poll->start();
}

} // namespace view
