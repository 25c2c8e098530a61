#pragma once

#include <QWidget>

#include "controller/servicestatus.h"

class QLabel;
class QPushButton;
class QTimer;

namespace view {

// The settings dialog's page about the web service: its address, whether it
// answers, the phone and the positions it holds, the phone page in the
// browser, and a start button when a local service is not running.
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

public slots:
    void setStatus(const controller::ServiceStatus& status);

private:
    void start();

    QLabel* m_address = nullptr;
    QLabel* m_state = nullptr;
    QLabel* m_phone = nullptr;
    QLabel* m_positions = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_startButton = nullptr;
    QTimer* m_poll = nullptr;
    int m_pollsLeft = 0;
    QString m_phonePage;
};

} // namespace view
