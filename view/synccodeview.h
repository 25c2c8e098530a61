#pragma once

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QTimer;

namespace view {

class QrCodeWidget;

// A window that shows the live synchronization code on this screen, so a
// camera can photograph it without a phone. The code's age in the payload
// runs on with the clock; a new code is asked for before the old one expires.
// A photo dropped on the window is handed on for synchronizing.
class SyncCodeView : public QWidget {
    Q_OBJECT
public:
    explicit SyncCodeView(QWidget* parent = nullptr);

    // The text the code shows at this moment.
    QByteArray payload() const;
    QrCodeWidget* codeWidget() const { return m_code; }

signals:
    void codeWanted();
    void fileDropped(QString filePath);

public slots:
    void setCode(QString syncId, qint64 elapsedMs, qint64 validForMs, QString problem);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();

    QrCodeWidget* m_code = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_ticker = nullptr;
    QString m_syncId;
    qint64 m_elapsedAtReceipt = 0;
    qint64 m_validFor = 0;
    QElapsedTimer m_received;
    bool m_asked = false;
};

} // namespace view
