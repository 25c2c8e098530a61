#include "view/settingsview.h"

#include <QCheckBox>
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

#include <QStackedWidget>

namespace view {

SettingsView::SettingsView(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::SettingsView>())
{
    m_ui->setupUi(this);
    setFixedSize(size());
    m_servicePage = new ServiceStatusPage(m_ui->stackedWidget);
    m_servicePage->setObjectName(QStringLiteral("servicePage"));
    m_ui->stackedWidget->addWidget(m_servicePage);
    // The Web service tab is taller, for the map of the last day's positions.
    const int height = this->height();
    connect(m_ui->stackedWidget, &QStackedWidget::currentChanged, this,
            [this, height] { setFixedHeight(m_ui->stackedWidget->currentWidget() == m_servicePage ? height + 170 : height); });
    auto* serviceButton = new QPushButton(tr("Web service"), m_ui->tabWidget);
    serviceButton->setObjectName(QStringLiteral("serviceButton"));
    serviceButton->setCheckable(true);
    serviceButton->setFlat(true);
    m_ui->buttonGroup->addButton(serviceButton);
    m_ui->tabLayout->insertWidget(m_ui->tabLayout->indexOf(m_ui->cameraButton) + 1, serviceButton);
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
    for (QPushButton* tab : {m_ui->rewriteButton, m_ui->timeDateButton, m_ui->cameraButton, serviceButton}) {
        tab->setFocusPolicy(Qt::StrongFocus);
        tab->setAutoDefault(true);
    }
    // The focus goes with the chosen tab, so that no other tab keeps the
    // focus frame and looks chosen too.
    const auto toggled = qOverload<QAbstractButton*, bool>(&QButtonGroup::buttonToggled);
    connect(m_ui->buttonGroup, toggled, this, [this](QAbstractButton* tab, bool checked) {
        if (checked && m_ui->buttonGroup->buttons().contains(qobject_cast<QAbstractButton*>(focusWidget())))
            tab->setFocus(Qt::OtherFocusReason);
    });
    m_ui->geotagIconLabel->setAccessibleName(tr("Geotagging"));
    m_ui->label_6->setAccessibleName(tr("Clock"));
    m_ui->cameraIconLabel->setAccessibleName(tr("Camera"));
    m_ui->scrollArea->setAccessibleName(tr("Synchronized cameras"));
    // Names are replaced only where they are written at all.
    connect(m_ui->writePlaceNamesCheckBox, &QCheckBox::toggled, m_ui->replacePlaceNamesCheckBox, &QWidget::setEnabled);
    // Every way of closing stores the choice: there is nothing to discard.
    connect(this, &QDialog::accepted, this, &SettingsView::saveSettings);
    connect(this, &QDialog::rejected, this, &SettingsView::saveSettings);
}

SettingsView::~SettingsView() = default;

void SettingsView::connectController(controller::MainController& controller)
{
    connect(&controller, &controller::MainController::showSettings, this, &SettingsView::showSettings);
    connect(&controller, &controller::MainController::camerasUpdated, this, &SettingsView::assignCameraList);
    connect(m_ui->cameraButton, &QPushButton::clicked, &controller,
            &controller::MainController::requestCameraSynchronizations);
    connect(this, &SettingsView::removeClicked, &controller, &controller::MainController::requestRemoveCamera);
    connect(m_servicePage, &ServiceStatusPage::statusWanted, &controller,
            &controller::MainController::requestServiceStatus);
    connect(m_servicePage, &ServiceStatusPage::startWanted, &controller, &controller::MainController::startLocalService);
    connect(m_servicePage, &ServiceStatusPage::pageWanted, &controller, &controller::MainController::openPhonePage);
    connect(m_servicePage, &ServiceStatusPage::linkHelpWanted, &controller,
            &controller::MainController::explainLinking);
    connect(m_servicePage, &ServiceStatusPage::forgetWanted, &controller, &controller::MainController::forgetLink);
    // The first how-to page the forgetting leads to is behind this dialog.
    connect(m_servicePage, &ServiceStatusPage::linkForgotten, this, &QDialog::accept);
    connect(&controller, &controller::MainController::serviceStatusUpdated, m_servicePage,
            &ServiceStatusPage::setStatus);
    connect(m_servicePage, &ServiceStatusPage::trackWanted, &controller,
            &controller::MainController::requestStatusTrack);
    connect(&controller, &controller::MainController::statusTrackUpdated, m_servicePage,
            &ServiceStatusPage::setTrack);
}

void SettingsView::showServicePage()
{
    m_ui->stackedWidget->setCurrentWidget(m_servicePage);
    m_servicePage->refresh();
}

void SettingsView::showSettings(model::Model& model)
{
    this->m_model = &model;
    m_ui->rewriteButton->setChecked(true);
    m_ui->stackedWidget->setCurrentWidget(m_ui->rewritePage);
    m_ui->rewriteRadio->setChecked(model.rewrite);
    m_ui->dontRewriteRadio->setChecked(!model.rewrite);
    m_ui->keepOriginalTimeDateRadio->setChecked(!model.modifyTimeDate);
    m_ui->modifyTimeDateRadio->setChecked(model.modifyTimeDate);
    m_ui->includeSubfoldersCheckBox->setChecked(model.includeSubfolders);
    m_ui->rawFilesComboBox->setCurrentIndex(model.rawSidecars ? 1 : 0);
    m_ui->writePlaceNamesCheckBox->setChecked(model.writePlaceNames);
    m_ui->replacePlaceNamesCheckBox->setChecked(model.replacePlaceNames);
    m_ui->replacePlaceNamesCheckBox->setEnabled(model.writePlaceNames);
    m_ui->rewriteButton->setFocus(Qt::OtherFocusReason);
    adjustPosition(MessageBox::mainWindow());

    if (m_shownHandler) {
        QTimer::singleShot(0, this, [this] {
            if (m_shownHandler)
                m_shownHandler(*this);
        });
    }
    exec();
}

void SettingsView::assignCameraList(model::CameraList& cameras)
{
    QLayout* layout = m_ui->scrollAreaWidgetContents->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    m_selectedCamera = nullptr;

    m_ui->phoneNameLabel->setText(cameras.phoneName);
    for (const model::Camera& camera : cameras) {
        auto* widget = new CameraWidget(m_ui->scrollAreaWidgetContents);
        layout->addWidget(widget);
        widget->setCamera(camera);
        connect(widget, &CameraWidget::removeClicked, this, &SettingsView::removeClicked);
        connect(widget, &CameraWidget::selected, this, [this](CameraWidget* entry) {
            if (m_selectedCamera && m_selectedCamera != entry)
                m_selectedCamera->setSelected(false);
            m_selectedCamera = entry;
        });
    }
    layout->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
}

void SettingsView::saveSettings()
{
    // Nothing to store into before the first opening.
    if (!m_model)
        return;
    m_model->rewrite = m_ui->rewriteRadio->isChecked();
    m_model->modifyTimeDate = m_ui->modifyTimeDateRadio->isChecked();
    m_model->includeSubfolders = m_ui->includeSubfoldersCheckBox->isChecked();
    m_model->rawSidecars = m_ui->rawFilesComboBox->currentIndex() == 1;
    m_model->writePlaceNames = m_ui->writePlaceNamesCheckBox->isChecked();
    m_model->replacePlaceNames = m_ui->replacePlaceNamesCheckBox->isChecked();
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
    m_ui->stackedWidget->setCurrentWidget(m_ui->rewritePage);
}

void SettingsView::on_timeDateButton_clicked()
{
    m_ui->stackedWidget->setCurrentWidget(m_ui->timeDatePage);
}

void SettingsView::on_cameraButton_clicked()
{
    m_ui->stackedWidget->setCurrentWidget(m_ui->cameraPage);
}

void SettingsView::on_keepOriginalTimeDateWidget_clicked()
{
    m_ui->keepOriginalTimeDateRadio->setChecked(true);
}

void SettingsView::on_modifyTimeDateWidget_clicked()
{
    m_ui->modifyTimeDateRadio->setChecked(true);
}

void SettingsView::on_dontRewriteWidget_clicked()
{
    m_ui->dontRewriteRadio->setChecked(true);
}

void SettingsView::on_rewriteWidget_clicked()
{
    m_ui->rewriteRadio->setChecked(true);
}

} // namespace view
