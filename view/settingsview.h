#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <memory>

#include "model/model.h"
#include "view/camerawidget.h"

namespace Ui {
class SettingsView;
}

namespace controller {
class MainController;
}

namespace view {

class ServiceStatusPage;

// The modal settings dialog: where geotags are written and whether place
// names go with them, whether the photo time is corrected, and the
// synchronized cameras with a remove action.
// Every way of closing it stores the choices into the model.
class SettingsView : public QDialog {
    Q_OBJECT
public:
    explicit SettingsView(QWidget* parent = nullptr);
    ~SettingsView() override;

    void connectController(controller::MainController& controller);

    // Test seam: when set, the handler is called each time this dialog runs
    // modally (from inside its event loop), so that a test can work it and
    // close it. Pass an empty function to clear.
    using ShownHandler = std::function<void(SettingsView&)>;
    void setShownHandler(ShownHandler handler) { m_shownHandler = std::move(handler); }

    // The camera entry whose remove button is shown, if any.
    CameraWidget* selectedCameraWidget() const { return m_selectedCamera; }

    ServiceStatusPage* serviceStatusPage() const { return m_servicePage; }
    // Shows the web-service page and asks for its figures.
    void showServicePage();

signals:
    void removeClicked(model::Camera& camera);

public slots:
    void showSettings(model::Model& model);
    void assignCameraList(model::CameraList& cameras);
    void saveSettings();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void on_rewriteButton_clicked();
    void on_timeDateButton_clicked();
    void on_cameraButton_clicked();
    void on_keepOriginalTimeDateWidget_clicked();
    void on_modifyTimeDateWidget_clicked();
    void on_dontRewriteWidget_clicked();
    void on_rewriteWidget_clicked();

private:
    std::unique_ptr<Ui::SettingsView> m_ui;
    model::Model* m_model = nullptr;
    ServiceStatusPage* m_servicePage = nullptr;
    ShownHandler m_shownHandler;
    // Only one entry of the camera list shows its remove button at a time.
    QPointer<CameraWidget> m_selectedCamera;
};

} // namespace view
