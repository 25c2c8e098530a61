#include "view/settingsview.h"

#include <QKeyEvent>
#include <QPointer>
#include <QRadioButton>
#include <QTextDocumentFragment>
#include <QTimer>

#include "controller/maincontroller.h"
#include "ui_settingsview.h"
#include "view/camerawidget.h"
#include "view/clickwidget.h"
#include "view/messagebox.h"
#include "view/resources.h"
#include "view/servicestatuspage.h"

namespace view {

SettingsView::SettingsView(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , ui(std::make_unique<Ui::SettingsView>())
{
    ui->setupUi(this);
    setFixedSize(size());
    servicePage = new ServiceStatusPage(ui->stackedWidget);
    servicePage->setObjectName(QStringLiteral("servicePage"));
    ui->stackedWidget->addWidget(servicePage);
    auto* serviceButton = new QPushButton(tr("Web service"), ui->tabWidget);
    serviceButton->setObjectName(QStringLiteral("serviceButton"));
    serviceButton->setFocusPolicy(Qt::NoFocus);
    serviceButton->setCheckable(true);
    serviceButton->setAutoDefault(false);
    serviceButton->setFlat(true);
    ui->buttonGroup->addButton(serviceButton);
    ui->tabLayout->insertWidget(ui->tabLayout->indexOf(ui->cameraButton) + 1, serviceButton);
    connect(serviceButton, &QPushButton::clicked, this, &SettingsView::showServicePage);
    sharpenPictures(this);
    // A click anywhere on an option selects it: its rich-text labels would
    // otherwise take the clicks for themselves.
    for (ClickWidget* option : findChildren<ClickWidget*>()) {
        const QList<QLabel*> labels = option->findChildren<QLabel*>();
        for (QLabel* label : labels)
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
        // The option's radio button has no text of its own: it is named by
        // the option's heading and described by the line below it.
        if (auto* radio = option->findChild<QRadioButton*>()) {
            for (QLabel* label : labels) {
                const QString text = QTextDocumentFragment::fromHtml(label->text()).toPlainText().simplified();
                if (label->property("class").toString() == QLatin1String("BoldLabel"))
                    radio->setAccessibleName(text);
                else
                    radio->setAccessibleDescription(text);
            }
        }
    }
    // The tabs take the focus and answer Enter and Space like buttons.
    for (QPushButton* tab : {ui->rewriteButton, ui->timeDateButton, ui->cameraButton}) {
        tab->setFocusPolicy(Qt::StrongFocus);
        tab->setAutoDefault(true);
    }
    ui->geocodeIconLabel->setAccessibleName(tr("Geotagging"));
    ui->label_6->setAccessibleName(tr("Clock"));
    ui->cameraIconLabel->setAccessibleName(tr("Camera"));
    ui->scrollArea->setAccessibleName(tr("Synchronized cameras"));
    // Every way of closing stores the choice: there is nothing to discard.
    connect(this, &QDialog::accepted, this, &SettingsView::saveSettings);
    connect(this, &QDialog::rejected, this, &SettingsView::saveSettings);
}

SettingsView::~SettingsView() = default;

void SettingsView::connectController(controller::MainController& controller)
{
    connect(&controller, &controller::MainController::showSettings, this, &SettingsView::showSettings);
    connect(&controller, &controller::MainController::camerasUpdated, this, &SettingsView::assignCameraList);
    connect(ui->cameraButton, &QPushButton::clicked, &controller,
            &controller::MainController::requestCameraSynchronizations);
    connect(this, &SettingsView::removeClicked, &controller, &controller::MainController::requestRemoveCamera);
    connect(servicePage, &ServiceStatusPage::statusWanted, &controller,
            &controller::MainController::requestServiceStatus);
    connect(servicePage, &ServiceStatusPage::startWanted, &controller, &controller::MainController::startLocalService);
    connect(&controller, &controller::MainController::serviceStatusUpdated, servicePage,
            &ServiceStatusPage::setStatus);
}

void SettingsView::showServicePage()
{
    ui->stackedWidget->setCurrentWidget(servicePage);
    servicePage->refresh();
}

void SettingsView::showSettings(model::Model& model)
{
    this->model = &model;
    ui->rewriteButton->setChecked(true);
    ui->stackedWidget->setCurrentWidget(ui->rewritePage);
    ui->rewriteRadio->setChecked(model.rewrite);
    ui->dontRewriteRadio->setChecked(!model.rewrite);
    ui->keepOriginalTimeDateRadio->setChecked(!model.modifyTimeDate);
    ui->modifyTimeDateRadio->setChecked(model.modifyTimeDate);
    ui->includeSubfoldersCheckBox->setChecked(model.includeSubfolders);
    ui->rawFilesComboBox->setCurrentIndex(model.rawSidecars ? 1 : 0);
    ui->rewriteButton->setFocus(Qt::OtherFocusReason);
    adjustPosition(MessageBox::mainWindow());

    if (shownHandler) {
        QTimer::singleShot(0, this, [this] {
            if (shownHandler)
                shownHandler(*this);
        });
    }
    exec();
}

void SettingsView::assignCameraList(model::CameraList& cameras)
{
    QLayout* layout = ui->scrollAreaWidgetContents->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    selectedCamera = nullptr;

    ui->phoneNameLabel->setText(cameras.phoneName);
    for (const model::Camera& camera : cameras) {
        auto* widget = new CameraWidget(ui->scrollAreaWidgetContents);
        layout->addWidget(widget);
        widget->setCamera(camera);
        connect(widget, &CameraWidget::removeClicked, this, &SettingsView::removeClicked);
        connect(widget, &CameraWidget::selected, this, [this](CameraWidget* entry) {
            if (selectedCamera && selectedCamera != entry)
                selectedCamera->setSelected(false);
            selectedCamera = entry;
        });
    }
    layout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
}

void SettingsView::saveSettings()
{
    // Nothing to store into before the first opening.
    if (!model)
        return;
    model->rewrite = ui->rewriteRadio->isChecked();
    model->modifyTimeDate = ui->modifyTimeDateRadio->isChecked();
    model->includeSubfolders = ui->includeSubfoldersCheckBox->isChecked();
    model->rawSidecars = ui->rawFilesComboBox->currentIndex() == 1;
}

void SettingsView::keyPressEvent(QKeyEvent* event)
{
    // Enter on an option chooses it; Escape closes, storing the choices.
    auto* radio = qobject_cast<QRadioButton*>(focusWidget());
    if (radio && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        radio->setChecked(true);
        return;
    }
    QDialog::keyPressEvent(event);
}

void SettingsView::on_rewriteButton_clicked()
{
    ui->stackedWidget->setCurrentWidget(ui->rewritePage);
}

void SettingsView::on_timeDateButton_clicked()
{
    ui->stackedWidget->setCurrentWidget(ui->timeDatePage);
}

void SettingsView::on_cameraButton_clicked()
{
    ui->stackedWidget->setCurrentWidget(ui->cameraPage);
}

void SettingsView::on_keepOriginalTimeDateWidget_clicked()
{
    ui->keepOriginalTimeDateRadio->setChecked(true);
}

void SettingsView::on_modifyTimeDateWidget_clicked()
{
    ui->modifyTimeDateRadio->setChecked(true);
}

void SettingsView::on_dontRewriteWidget_clicked()
{
    ui->dontRewriteRadio->setChecked(true);
}

void SettingsView::on_rewriteWidget_clicked()
{
    ui->rewriteRadio->setChecked(true);
}

} // namespace view
