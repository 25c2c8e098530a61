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
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimeZone>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <utility>

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

// The options of "serve" for the base URL's port, on all addresses for
// phones on this network.
QStringList serveOptions(bool network)
{
    return { QStringLiteral("--address"), network ? QStringLiteral("0.0.0.0") : QStringLiteral("127.0.0.1"),
             QStringLiteral("--port"), QString::number(QUrl(model::Model::baseUrl()).port(80)) };
}

// The most of a program's output shown in a message.
constexpr int maxShownOutput = 2000;

// Where the service started here keeps its log and process id: beside its
// database, in the kestrel folder of the user's data folder.
QString serviceFolder()
{
    const QString folder
        = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/kestrel");
    QDir().mkpath(folder);
    return folder;
}

} // namespace

QString ServiceStatus::phonePageUrl() const
{
    for (const QString& url : phonePageUrls + QStringList { browserPageUrl() }) {
        if (!isLoopbackHost(QUrl(url).host()))
            return url;
    }
    return QString();
}

QString ServiceStatus::browserPageUrl() const
{
    return QUrl(model::Model::baseUrl()).resolved(QUrl(QStringLiteral("phone"))).toString();
}

bool ServiceStatus::isLoopbackHost(const QString& host)
{
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback();
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

bool ServiceStatus::phoneCanReach() const
{
    return listening != QLatin1String("loopback") && !phonePageUrl().isEmpty();
}

QString ServiceStatus::networkStep()
{
    return QCoreApplication::translate("ServiceStatus",
                                       "For phones on this network: MORE, then \"Let phones on this network reach "
                                       "the web service\"");
}

QString ServiceStatus::unreachableText() const
{
    return QCoreApplication::translate("ServiceStatus",
                                       "The web service listens on this computer only, so a phone cannot open its "
                                       "phone page.")
        + QLatin1Char(' ') + networkStep() + QLatin1Char('.');
}

// Web service reachability ----------------------------------------------------

bool MainController::isLocalService()
{
    return ServiceStatus::isLoopbackHost(QUrl(model::Model::baseUrl()).host());
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
    const QString advice = !isLocalService() ? tr("Check your internet connection")
        : m_serviceInstall.installed()
        ? tr("Start it with %1").arg(m_serviceInstall.startCommand(m_model->serviceOnNetwork))
        : tr("Start it with scripts/start-service.sh (or build/kestrel-service serve)");
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

void MainController::importTracksOnceServiceAnswers(QStringList filePaths)
{
    m_waitingTracks += filePaths;
    requestServiceStatus();
    QTimer::singleShot(20000, this, [this] {
        if (!m_waitingTracks.isEmpty())
            importTracks(std::exchange(m_waitingTracks, {}));
    });
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
        status.listening = ServiceMessages::text(answer, "listening");
        status.userId = ServiceMessages::text(answer, "userID");
        status.demo = ServiceMessages::flag(answer, "demo");
    } else if (result.status >= code(Status::Information) && result.status <= code(Status::Error)) {
        status.problem = failure.detail;
    } else if (status.answers) {
        status.problem = tr("it does not know this request (HTTP status %1)").arg(result.status);
    }
    emit serviceStatusUpdated(status);
    if (status.answers && !m_waitingTracks.isEmpty())
        importTracks(std::exchange(m_waitingTracks, {}));
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
    m_model->serviceOnNetwork = emit infoPending(
        code(Status::Question), tr("Phones on this network?"),
        tr("May phones on this network reach the web service? Like every request from the network, a phone then "
           "needs the account's keys.\n\nOK: phones on this network may reach it. Cancel: only this computer reaches "
           "it."));
    m_model->savePreferences(model::Model::preferencesFilePath());
    startAndAsk(m_model->serviceOnNetwork);
}

bool MainController::startLocalService()
{
    return startService(m_model->serviceOnNetwork);
}

bool MainController::startService(bool network)
{
    if (!isLocalService())
        return false;
    if (m_serviceInstall.usesUserUnit())
        return startUserUnit(network);
    return startServiceProgram(network);
}

bool MainController::startServiceProgram(bool network)
{
    // Output into the log beside the database, the process id beside it for
    // a later restart (scripts/start-service.sh writes the same file).
    const QString folder = serviceFolder();
    const qint64 pid = m_launcher->startDetached(m_serviceInstall.serviceProgram(),
                                                 QStringList { QStringLiteral("serve") } + serveOptions(network),
                                                 folder + QStringLiteral("/kestrel-service.log"));
    QFile pidFile(folder + QStringLiteral("/kestrel-service.pid"));
    if (pid > 0 && pidFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        pidFile.write(QByteArray::number(pid) + '\n');
    return pid > 0;
}

bool MainController::startUserUnit(bool network)
{
    QString error;
    if (!ServiceInstall::writeServeOptions(serveOptions(network).join(QLatin1Char(' ')), &error)) {
        showMessage(Status::Error, tr("Web service"),
                    tr("Kestrel could not set the web service's address and port: %1").arg(error));
        return false;
    }
    // Enabled, so that it starts at every login from now on; restarted, so
    // that changed options take effect.
    runSystemctl({ QStringLiteral("enable"), QStringLiteral("restart") }, network);
    return true;
}

void MainController::runSystemctl(QStringList verbs, bool network)
{
    const QStringList arguments { QStringLiteral("--user"), verbs.takeFirst(), QLatin1String(ServiceInstall::unitName) };
    m_launcher->run(QStringLiteral("systemctl"), arguments, this,
                    [this, arguments, verbs, network](bool succeeded, const QByteArray& output) {
                        if (succeeded && !verbs.isEmpty()) {
                            runSystemctl(verbs, network);
                            return;
                        }
                        if (!succeeded) {
                            // Without a systemd user session (a container, a
                            // remote desktop) the program runs without it.
                            const QString said = QString::fromUtf8(output.left(maxShownOutput)).trimmed();
                            const QString failure = tr("\"systemctl %1\" failed.\n%2")
                                                        .arg(arguments.join(QLatin1Char(' ')),
                                                             said.isEmpty() ? tr("It said nothing.") : said);
                            if (!startServiceProgram(network)) {
                                showMessage(Status::Error, tr("Web service"),
                                            tr("Kestrel could not start the web service: %1").arg(failure));
                                return;
                            }
                            showMessage(Status::Warning, tr("Web service"),
                                        tr("systemd could not start the web service: %1\n\nKestrel started it "
                                           "itself, for now: it will not start by itself at the next login.")
                                            .arg(failure));
                        }
                        // The service needs a moment before it answers.
                        QTimer::singleShot(1000, this, &MainController::requestServiceStatus);
                    });
}

void MainController::startAndAsk(bool network)
{
    // The unit's start asks for the status itself once systemd is done.
    if (m_serviceInstall.usesUserUnit()) {
        startUserUnit(network);
        return;
    }
    if (!startService(network)) {
        showMessage(Status::Error, tr("Web service"),
                    m_serviceInstall.installed()
                        ? tr("The web service program is not installed: install the package kestrel-service.")
                        : tr("The web service program was not found beside Kestrel. Start it with %1.")
                              .arg(m_serviceInstall.startCommand(network)));
        return;
    }
    // The new service needs a moment before it answers.
    QTimer::singleShot(1000, this, &MainController::requestServiceStatus);
}

void MainController::letPhonesReachService()
{
    if (!isLocalService())
        return;
    // The user unit is restarted with its new options; a service started
    // beside this one is stopped first.
    if (!m_serviceInstall.usesUserUnit()) {
        QFile pidFile(serviceFolder() + QStringLiteral("/kestrel-service.pid"));
        const qint64 pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.read(32).trimmed().toLongLong() : 0;
        // A service that runs but was not started here cannot be restarted.
        if (!m_launcher->stop(pid, m_serviceInstall.serviceProgram()) && serviceReachable()) {
            showMessage(Status::Warning, tr("Web service"),
                        tr("Kestrel did not start the web service that runs now, so it cannot restart it. Stop it, "
                           "then start it with %1.")
                            .arg(m_serviceInstall.startCommand(true)));
            return;
        }
    }
    m_model->serviceOnNetwork = true;
    m_model->savePreferences(model::Model::preferencesFilePath());
    startAndAsk(true);
}

void MainController::createDemo()
{
    if (!isLocalService())
        return;
    if (!m_model->userID.isEmpty()
        && !emit infoPending(code(Status::Question), tr("Try the demo?"),
                             tr("This computer then uses the demo phone's account instead of its own. Your own "
                                "positions stay in the web service; to return to them, synchronize a camera with "
                                "your phone's code.")))
        return;
    // The service's own database, the one the started service (or the user
    // unit) uses.
    m_launcher->run(m_serviceInstall.serviceProgram(), { QStringLiteral("demo") }, this, [this](bool made, const QByteArray& output) {
        const QRegularExpressionMatch user
            = QRegularExpression(QStringLiteral("^\\s*userID\\s+(\\S+)"), QRegularExpression::MultilineOption)
                  .match(QString::fromUtf8(output));
        if (!made || !user.hasMatch()) {
            showMessage(Status::Error, tr("Demo positions"),
                        tr("The demo positions could not be made: %1").arg(QString::fromUtf8(output).trimmed()));
            return;
        }
        m_model->userID = user.captured(1);
        m_model->save(model::Model::configFilePath());
        showMessage(Status::Success, tr("Demo positions"),
                    tr("Demo positions around Munich are ready: a walk every day from a week ago to tomorrow. "
                       "Kestrel now uses the demo phone's account. Synchronize a camera with the code from MORE, "
                       "\"Show the synchronization code\"; its photos of that time then find positions around "
                       "Munich."));
        requestServiceStatus();
    });
}

void MainController::openPhonePage()
{
    const QString url = ServiceStatus().browserPageUrl();
    if (!m_launcher->openUrl(QUrl(url)))
        showMessage(Status::Warning, tr("Open the phone page"),
                    tr("No browser could be opened. Type this address into a browser on this computer: %1").arg(url));
}

void MainController::setLauncher(std::unique_ptr<Launcher> launcher)
{
    m_launcher = std::move(launcher);
}

void MainController::setServiceInstall(const ServiceInstall& install)
{
    m_serviceInstall = install;
}

} // namespace controller
