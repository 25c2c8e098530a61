#pragma once

#include <QWidget>

#include "controller/servicestatus.h"
#include "model/model.h"

class QLabel;
class QPushButton;
class QTimer;

namespace view {

class MapView;

// The settings dialog's page about the web service: its address, whether it
// answers, the phone and account this computer is linked to and the positions
// it holds, the phone page in the browser, a start button when a local service
// is not running, and how to link to another phone or forget the link.
class ServiceStatusPage : public QWidget {
    Q_OBJECT
public:
    explicit ServiceStatusPage(QWidget* parent = nullptr);

    // The shown figures in reading order, for tests and screen readers.
    QStringList shownTexts() const;
    // Asks for fresh figures.
    void refresh() { emit statusWanted(); }

signals:
    void statusWanted();
    // Answered by the controller: true when the service program was started.
    bool startWanted();
    // The phone page in this computer's browser.
    void pageWanted();
    void linkHelpWanted(const controller::ServiceStatus& status);
    // Answered by the controller: true when the link was forgotten.
    bool forgetWanted();
    void linkForgotten();
    // The track of the day up to the last stored position (ISO 8601 UTC).
    void trackWanted(const QString& lastPosition);

public slots:
    void setStatus(const controller::ServiceStatus& status);
    // Shows where the stored positions are: the track of their last day.
    void setTrack(const model::Track& track);

private:
    void start();

    QLabel* m_address = nullptr;
    QLabel* m_state = nullptr;
    QLabel* m_link = nullptr;
    QLabel* m_positions = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_linkButton = nullptr;
    QPushButton* m_forgetButton = nullptr;
    MapView* m_map = nullptr;
    QTimer* m_poll = nullptr;
    int m_pollsLeft = 0;
    controller::ServiceStatus m_status;
};

} // namespace view
