#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include "controller/servicestatus.h"

class QLabel;
class QTimer;

namespace view {

class QrCodeWidget;

// A window that shows the live synchronization code on this screen, so a
// camera can photograph it without a phone. The code's age in the payload
// runs on with the clock; a new code is asked for before the old one expires.
// A photo dropped on the window is handed on for synchronizing. While no
// account answers for this computer there is no code: the window shows how
// to link it to a phone instead. It opens beside the main window.
class SyncCodeView : public QWidget {
    Q_OBJECT
public:
    explicit SyncCodeView(QWidget* parent = nullptr);

    // The text the code shows at this moment.
    QByteArray payload() const;
    QrCodeWidget* codeWidget() const { return m_code; }
    void setVisible(bool visible) override;
    // Where a window of size goes beside the main window's frame on the
    // screen's available area: right of it, else left of it, else on the side
    // with more room, always within the screen.
    static QRect besideRect(const QRect& mainFrame, const QSize& size, const QRect& screen);

signals:
    void codeWanted();
    // The phone page's address is wanted, to show how to link.
    void statusWanted();
    void fileDropped(QString filePath);

public slots:
    void setCode(QString syncId, qint64 elapsedMs, qint64 validForMs, QString problem, bool unlinked = false);
    void setServiceStatus(const controller::ServiceStatus& status);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();
    void placeBesideMainWindow();

    QrCodeWidget* m_code = nullptr;
    QLabel* m_line = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_ticker = nullptr;
    QString m_syncId;
    qint64 m_elapsedAtReceipt = 0;
    qint64 m_validFor = 0;
    QElapsedTimer m_received;
    bool m_asked = false;
    bool m_unlinked = false;
    controller::ServiceStatus m_service;
};

} // namespace view
