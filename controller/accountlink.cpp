// The controller's synchronization answers and the link between this
// computer and a phone's account: the question before this computer's account
// is linked to the owner of another phone's code, the clock report, and
// forgetting the link.

#include <QCoreApplication>
#include <QDebug>
#include <QTimeZone>

#include <cmath>

#include "controller/maincontroller.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"

namespace controller {

void MainController::sendSynchronization(const model::PhotoInfo& info, bool linkUser)
{
    const QByteArray request =
        ServiceMessages::synchronizationRequest(m_model->userID, info, QTimeZone::systemTimeZoneId(), linkUser);
    qDebug().noquote() << "syncCamera" << QString::fromUtf8(request);
    m_restClient->put(ServiceMessages::synchronizationUrl(), request,
                      [this, info, linkUser](RestClient::Result result, QByteArray body) {
                          onSynchronizationAnswer(result, body, info, linkUser);
                      });
}

void MainController::onSynchronizationPhotoRead(bool read, const model::Failure& failure,
                                                const model::PhotoInfo& info)
{
    if (!read) {
        showFailure(failure);
        emit camerasUpdated(m_model->cameras);
        return;
    }
    sendSynchronization(info, false);
}

bool MainController::askToLink(RestClient::Result result, const QByteArray& body, const model::PhotoInfo& info)
{
    if (!result.is(Status::Warning))
        return false;
    const JsonValue answer = JsonValue::parse(body.toStdString());
    if (answer.get("link").kind != JsonValue::Object)
        return false;
    // Nothing has changed on the service yet: a no leaves everything as it was.
    if (emit infoPending(code(Status::Question), ServiceMessages::text(answer, "head"),
                         ServiceMessages::text(answer, "body")))
        sendSynchronization(info, true);
    else
        emit camerasUpdated(m_model->cameras);
    return true;
}

void MainController::onSynchronizationAnswer(RestClient::Result result, const QByteArray& body,
                                             const model::PhotoInfo& info, bool linkUser)
{
    // A question is asked once; asked again after a yes, it is only shown.
    if (!linkUser && askToLink(result, body, info))
        return;
    JsonValue answer;
    if (!readAndShowAnswer(Request::Synchronization, result.status, body, &answer)) {
        emit camerasUpdated(m_model->cameras);
        return;
    }
    m_model->userID = ServiceMessages::text(answer, "userID");
    m_model->save(model::Model::configFilePath());
    const double offset = answer.get("clockOffset").asDouble(std::nan(""));
    QString zoneName = ServiceMessages::text(answer, "timeZoneName");
    if (zoneName.isEmpty())
        zoneName = ServiceMessages::text(answer, "timeZoneId");
    const QString camera = info.model.isEmpty() ? info.serialNumber : info.model;
    const bool again = knowsCamera(info);
    requestCameraSynchronizations();
    goTo(SynchronizeDone);
    emit cameraSynchronized(synchronizationReport(camera, again, !std::isnan(offset), std::llround(offset),
                                                  ServiceMessages::text(answer, "zoneSource"), zoneName));
}

bool MainController::knowsCamera(const model::PhotoInfo& info) const
{
    for (const model::Camera& camera : m_model->cameras) {
        const bool sameSerial = !camera.serial.isEmpty()
            && (camera.serial == info.serialNumber || camera.serial == info.internalSerialNumber);
        if (sameSerial || (camera.serial.isEmpty() && camera.name == info.model))
            return true;
    }
    return false;
}

QString MainController::synchronizationReport(const QString& camera, bool again, bool offsetKnown,
                                              qint64 clockOffset, const QString& zoneSource, const QString& zoneName)
{
    const QString name = again ? tr("%1 (synchronized again)").arg(camera) : camera;
    if (!offsetKnown)
        return tr("%1: synchronized").arg(name);
    QString report;
    if (clockOffset == 0) {
        report = tr("%1: clock right to the second").arg(name);
    } else {
        const qint64 seconds = std::abs(clockOffset);
        QStringList parts;
        if (seconds >= 3600)
            parts << tr("%1 h").arg(seconds / 3600);
        if (seconds % 3600 >= 60)
            parts << tr("%1 min").arg(seconds % 3600 / 60);
        if (seconds % 60 != 0)
            parts << tr("%1 s").arg(seconds % 60);
        const QString amount = parts.join(QLatin1Char(' '));
        report = clockOffset > 0 ? tr("%1: clock %2 ahead").arg(name, amount)
                                 : tr("%1: clock %2 behind").arg(name, amount);
    }
    // Which local time the clock was held against: where the phone was, or
    // this computer's zone when the phone was nowhere near at the time.
    QString against;
    if (zoneSource == QLatin1String("phone"))
        against = tr("against the local time at the phone's position");
    else if (zoneSource == QLatin1String("computer"))
        against = tr("against this computer's time zone");
    if (against.isEmpty())
        return report;
    if (!zoneName.isEmpty())
        against += QStringLiteral(" (%1)").arg(zoneName);
    return report + QLatin1Char('\n') + against;
}

// The link ---------------------------------------------------------------------

void MainController::explainLinking(const ServiceStatus& status)
{
    const QString title = status.linked ? tr("Link to another phone") : tr("Link to a phone");
    if (!status.phoneCanReach()) {
        showMessage(Status::Information, title, status.unreachableText());
        return;
    }
    QString text = tr("On the phone, open the phone page:\n%1\n\nPhotograph the synchronization code it shows with "
                      "your camera and drop that photo on the page \"Synchronize your camera\", or choose it there. "
                      "Use a fresh code: one the phone showed less than 15 minutes before.")
                       .arg(status.phonePageUrl());
    if (status.linked)
        text += tr("\n\nKestrel asks before it links this computer to that phone; the positions and cameras kept "
                   "for this computer then move to it.");
    showMessage(Status::Information, title, text);
}

bool MainController::forgetLink()
{
    if (!emit infoPending(code(Status::Question), tr("Forget this link?"),
                          tr("This computer forgets the phone it is linked to and its cameras. The web service "
                             "keeps the positions and the synchronizations: a synchronization with a code of that "
                             "phone links this computer to it again.")))
        return false;
    m_model->userID.clear();
    m_model->cameras = model::CameraList();
    m_model->save(model::Model::configFilePath());
    emit camerasUpdated(m_model->cameras);
    goTo(HowTo1);
    return true;
}

} // namespace controller
