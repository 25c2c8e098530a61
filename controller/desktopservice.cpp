// The controller's requests for the desktop's own use of the web service:
// whether the service can be reached, importing track files, the live
// synchronization code and the service's status, and starting a local
// service that is not running.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include "controller/maincontroller.h"
#include "controller/restclient.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"
#include "service/limits.h"

namespace controller {

namespace {

// The largest track file sent: the service's own limit.
constexpr qint64 maxTrackBytes = service::maxTrackBytes;

QByteArray userRequest(const QString& userID)
{
    JsonValue request;
    request["userID"] = userID.toUtf8().toStdString();
    return QByteArray::fromStdString(request.serialize());
}

QString readableMoment(const QString& iso, const QTimeZone& zone)
{
    const QDateTime moment = QDateTime::fromString(iso, Qt::ISODate);
    return moment.isValid() ? QLocale::c().toString(moment.toTimeZone(zone), QStringLiteral("d MMM yyyy HH:mm")) : iso;
}

// The age or remaining life of a synchronization code: 0 to a day, whatever
// number the service sent.
qint64 codeMilliseconds(const JsonValue& value)
{
    const double ms = value.asDouble(0.0);
    return ms > 0 ? qint64(std::min(ms, 86400000.0)) : 0;
}

} // namespace

QString ServiceStatus::phonePageUrl() const
{
    if (!phonePageUrls.isEmpty())
        return phonePageUrls.first();
    return QUrl(model::Model::baseUrl()).resolved(QUrl(QStringLiteral("phone"))).toString();
}

QString ServiceStatus::positionsText() const
{
    if (positions <= 0)
        return QCoreApplication::translate("ServiceStatus", "no positions yet");
    // This computer's time, its zone named; UTC when the zone is unknown.
    const QByteArray id = QTimeZone::systemTimeZoneId();
    const QTimeZone zone = id.isEmpty() ? QTimeZone::utc() : QTimeZone::systemTimeZone();
    return QCoreApplication::translate("ServiceStatus", "%1 positions from %2 to %3 (%4)")
        .arg(QLocale(QLocale::English).toString(positions), readableMoment(first, zone), readableMoment(last, zone),
             id.isEmpty() ? QStringLiteral("UTC") : QString::fromUtf8(id));
}

// Web service reachability ----------------------------------------------------

bool MainController::isLocalService()
{
    const QString host = QUrl(model::Model::baseUrl()).host();
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

bool MainController::serviceReachable(model::Failure* failure) const
{
    const QUrl url(model::Model::baseUrl());
    QTcpSocket socket;
    // Waits at most five seconds, in an event loop of its own so that the
    // window keeps painting; clicks and keys wait until the check is done.
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    socket.connectToHost(url.host(), quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80)));
    if (socket.state() != QAbstractSocket::ConnectedState && socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (socket.state() == QAbstractSocket::ConnectedState)
        return true;
    const QString advice = isLocalService()
        ? tr("Start it with scripts/start-service.sh (or build/kestrel-service serve)")
        : tr("Check your internet connection");
    model::fail(failure, tr("Web service not reachable"),
                tr("Kestrel cannot reach its web service at %1. %2, or set KESTREL_SERVICE_URL.")
                    .arg(model::Model::baseUrl(), advice));
    return false;
}

// Track import ---------------------------------------------------------------

void MainController::importTracks(QStringList filePaths)
{
    const bool idle = m_trackQueue.isEmpty();
    m_trackQueue.append(filePaths);
    // Started from the event loop, so that the files of one drop, which
    // arrive one by one, make one batch with one message.
    if (idle && !m_trackQueue.isEmpty())
        QTimer::singleShot(0, this, &MainController::importNextTrack);
}

bool MainController::readTrack(const QString& path, QByteArray* data, model::Failure* failure) const
{
    static const QStringList trackSuffixes = { "gpx", "kml", "kmz", "geojson", "json",
                                               "nmea", "nma", "txt", "log", "csv" };
    const QString name = QFileInfo(path).fileName();
    QFile file(path);
    QString problem;
    if (!trackSuffixes.contains(QFileInfo(path).suffix().toLower()))
        problem = tr("%1 is not a track file (GPX, KML, KMZ, GeoJSON, NMEA, CSV or Google Takeout JSON).").arg(name);
    else if (file.size() > maxTrackBytes)
        problem = tr("%1 is larger than %2 MB and is not sent.").arg(name).arg(maxTrackBytes >> 20);
    else if (!file.open(QIODevice::ReadOnly))
        problem = tr("%1 cannot be read: %2").arg(name, file.errorString());
    else {
        *data = file.readAll();
        return true;
    }
    model::fail(failure, tr("Track import"), problem);
    return false;
}

void MainController::importNextTrack()
{
    const QString path = m_trackQueue.first();
    const QString name = QFileInfo(path).fileName();
    QByteArray data;
    model::Failure failure;
    if (!readTrack(path, &data, &failure)) {
        finishTrack(false, failure.detail);
        return;
    }
    RestClient::Headers headers;
    headers.insert("Kestrel-User-ID", m_model->userID.toUtf8());
    headers.insert("Kestrel-File-Name", QUrl::toPercentEncoding(name));
    emit trackImportProgress(name, 0, data.size());
    m_restClient->putRaw(
        model::Model::baseUrl() + QStringLiteral("importTrack"), data, headers,
        [this, name](RestClient::Result result, QByteArray body) { onTrackImportAnswer(name, result, body); },
        [this, name](qint64 sent, qint64 total) { emit trackImportProgress(name, sent, total); });
}

void MainController::onTrackImportAnswer(const QString& name, RestClient::Result result, const QByteArray& body)
{
    JsonValue answer;
    model::Failure failure;
    const bool read = readAnswer(Request::TrackImport, result.status, body, &answer, &failure);
    // A 200 or 201 answer that cannot be read still counts as imported.
    const bool imported = result.succeeded();
    const QString userID = ServiceMessages::text(answer, "userID");
    if (imported && m_model->userID.isEmpty() && !userID.isEmpty()) {
        // The service made a user for this first import: keep it like the
        // one a first synchronization brings.
        m_model->userID = userID;
        m_model->save(model::Model::configFilePath());
    }
    const QString text = read ? ServiceMessages::text(answer, "body") : failure.detail;
    const QString head = imported ? QString() : QStringLiteral(": ") + failure.title;
    finishTrack(imported, name + head + QStringLiteral("\n") + text);
}

void MainController::finishTrack(bool imported, const QString& text)
{
    m_trackReport.append(text);
    m_trackFailures += imported ? 0 : 1;
    m_trackQueue.removeFirst();
    if (!m_trackQueue.isEmpty()) {
        importNextTrack();
        return;
    }
    const QString report = m_trackReport.join(QStringLiteral("\n\n"));
    const int failures = m_trackFailures;
    const int count = m_trackReport.size();
    m_trackReport.clear();
    m_trackFailures = 0;
    emit trackImportFinished();
    if (failures == 0)
        showMessage(Status::Success, count == 1 ? tr("Track imported") : tr("Tracks imported"), report);
    else
        showMessage(failures == count ? Status::Error : Status::Information, tr("Track import"), report);
}

// Synchronization code and status --------------------------------------------

void MainController::requestSyncCode()
{
    m_restClient->put(model::Model::baseUrl() + QStringLiteral("syncCode"), userRequest(m_model->userID),
                      [this](RestClient::Result result, QByteArray body) { onSyncCodeAnswer(result, body); });
}

void MainController::onSyncCodeAnswer(RestClient::Result result, const QByteArray& body)
{
    JsonValue answer;
    model::Failure failure;
    readAnswer(Request::SyncCode, result.status, body, &answer, &failure);
    // A 200 or 201 answer that cannot be read brings an empty code.
    if (!result.succeeded()) {
        // A service that knows no account for this computer says so with a
        // 203; the window then shows how to link instead of the refusal.
        const bool unknown = result.is(Status::Warning);
        const QString problem = unknown ? QString() : failure.title + QStringLiteral("\n") + failure.detail;
        emit syncCodeUpdated(QString(), 0, 0, problem, unknown || m_model->userID.isEmpty());
        return;
    }
    emit syncCodeUpdated(ServiceMessages::text(answer, "syncID"), codeMilliseconds(answer.get("elapsedTime")),
                         codeMilliseconds(answer.get("validFor")), QString(), false);
}

void MainController::requestServiceStatus()
{
    m_restClient->put(model::Model::baseUrl() + QStringLiteral("serviceStatus"), userRequest(m_model->userID),
                      [this](RestClient::Result result, QByteArray body) { onServiceStatusAnswer(result, body); });
}

void MainController::onServiceStatusAnswer(RestClient::Result result, const QByteArray& body)
{
    JsonValue answer;
    model::Failure failure;
    readAnswer(Request::ServiceStatus, result.status, body, &answer, &failure);
    ServiceStatus status;
    status.address = model::Model::baseUrl();
    // Any HTTP answer means the service runs, also an older one that does
    // not know this request.
    status.answers = result.status != 0;
    status.linked = !m_model->userID.isEmpty();
    if (result.succeeded()) {
        // An answer that cannot be read gives no figures.
        status.phoneName = ServiceMessages::text(answer, "phoneName");
        status.positions = qint64(answer.get("positions").asDouble(0.0));
        status.first = ServiceMessages::text(answer, "first");
        status.last = ServiceMessages::text(answer, "last");
        const JsonValue& urls = answer.get("phonePageUrls");
        for (unsigned i = 0; i < urls.size(); ++i)
            status.phonePageUrls.append(QString::fromUtf8(urls.at(i).asString("")));
        status.userID = ServiceMessages::text(answer, "userID");
        status.demo = ServiceMessages::flag(answer, "demo");
        status.listensLocally = ServiceMessages::text(answer, "listening") == QLatin1String("loopback");
    } else if (result.status >= code(Status::Information) && result.status <= code(Status::Error)) {
        status.problem = failure.detail;
    } else if (status.answers) {
        status.problem = tr("it does not know this request (HTTP status %1)").arg(result.status);
    }
    emit serviceStatusUpdated(status);
    if (!status.answers)
        offerToStartService();
}

void MainController::offerToStartService()
{
    // Asked once per run: the settings' Web service tab keeps a start button.
    if (m_startOffered || !isLocalService())
        return;
    m_startOffered = true;
    if (!emit infoPending(code(Status::Question), tr("Start the web service?"),
                          tr("The local web service at %1 does not answer. Start it now?").arg(model::Model::baseUrl())))
        return;
    if (!startLocalService()) {
        showMessage(Status::Error, tr("Web service"),
                    tr("The web service program was not found beside Kestrel. Start it with "
                       "scripts/start-service.sh."));
        return;
    }
    // The new service needs a moment before it answers.
    QTimer::singleShot(1000, this, &MainController::requestServiceStatus);
}

bool MainController::startLocalService()
{
    if (!isLocalService())
        return false;
    const QString program = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("kestrel-service"));
    if (!QFileInfo(program).isExecutable())
        return false;
    const QUrl base(model::Model::baseUrl());
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/KESTREL");
    QDir().mkpath(folder);
    // The same start as the start-up script's: loopback only, a demo phone
    // in a new database, output into the log beside the database.
    QProcess process;
    process.setProgram(program);
    process.setArguments({ QStringLiteral("serve"), QStringLiteral("--address"), QStringLiteral("127.0.0.1"),
                           QStringLiteral("--port"), QString::number(base.port(80)),
                           QStringLiteral("--demo-if-empty") });
    process.setStandardOutputFile(folder + QStringLiteral("/kestrel-service.log"), QIODevice::Append);
    process.setStandardErrorFile(folder + QStringLiteral("/kestrel-service.log"), QIODevice::Append);
    return process.startDetached();
}

} // namespace controller
