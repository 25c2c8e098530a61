// The map of a run: the track of its period from the web service, and the
// photos placed on the map by hand or on the track, one Undo deep.
#include "controller/maincontroller.h"

#include <QDateTime>
#include <QFileInfo>

#include "controller/placement.h"
#include "controller/restclient.h"
#include "controller/servicemessages.h"
#include "json/jsonvalue.h"

namespace controller {

namespace {

// How far before the first photo and after the last the track reaches.
constexpr qint64 trackMarginSeconds = 3600;

QDateTime utcMoment(const model::PhotoGeotag& photo)
{
    QDateTime moment = QDateTime::fromString(photo.utcTime, Qt::ISODateWithMs);
    return moment.isValid() ? moment.toUTC() : QDateTime();
}

} // namespace

void MainController::showMap(int index)
{
    if (m_screen != GeotagResults && m_screen != GeotagMap)
        return;
    goTo(GeotagMap);
    emit mapFocusWanted(index);
}

void MainController::setOnlineMap(bool online)
{
    m_model->onlineMap = online;
}

void MainController::requestRunTrack(const QDateTime& from, const QDateTime& to, bool forStatus)
{
    const int run = m_runCount;
    m_restClient->put(ServiceMessages::trackUrl(), ServiceMessages::trackRequest(m_model->userID, from, to),
                      [this, run, forStatus](RestClient::Result result, QByteArray body) {
                          if (!forStatus && run != m_runCount)
                              return;
                          JsonValue answer;
                          model::Failure failure;
                          model::Track track;
                          QString problem;
                          if (!readAnswer(Request::Track, result.status, body, &answer, &failure))
                              problem = tr("The track could not be loaded: %1").arg(failure.detail);
                          else if (!ServiceMessages::readTrack(answer, &track))
                              problem = tr("The track could not be loaded: the service's answer is not a track.");
                          if (forStatus) {
                              emit statusTrackUpdated(track);
                              return;
                          }
                          m_model->track = track;
                          emit trackUpdated(track, problem);
                      });
}

void MainController::requestRunTrack()
{
    // The period of the run: its photos' corrected times, an hour either side.
    QDateTime first;
    QDateTime last;
    for (const model::PhotoGeotag& photo : qAsConst(m_model->photos)) {
        const QDateTime moment = utcMoment(photo);
        if (!moment.isValid())
            continue;
        first = first.isValid() ? qMin(first, moment) : moment;
        last = last.isValid() ? qMax(last, moment) : moment;
    }
    m_model->track.clear();
    if (!first.isValid()) {
        emit trackUpdated(m_model->track, tr("No photo of this run has a known time, so there is no track to show."));
        return;
    }
    emit trackUpdated(m_model->track, tr("Loading the track..."));
    requestRunTrack(first.addSecs(-trackMarginSeconds), last.addSecs(trackMarginSeconds), false);
}

void MainController::requestStatusTrack(const QString& lastPosition)
{
    // The last day with positions: the day up to the last one.
    const QDateTime last = QDateTime::fromString(lastPosition, Qt::ISODateWithMs).toUTC();
    if (last.isValid())
        requestRunTrack(last.addDays(-1), last.addSecs(1), true);
    else
        emit statusTrackUpdated(model::Track());
}

void MainController::placePhoto(int index, double latitude, double longitude)
{
    place(index, latitude, longitude, model::PhotoGeotag::Origin::Hand);
}

void MainController::snapPhoto(int index)
{
    if (index < 0 || index >= m_model->photos.size())
        return;
    const model::PhotoGeotag& photo = m_model->photos.at(index);
    const QDateTime moment = utcMoment(photo);
    double latitude = 0;
    double longitude = 0;
    if (!moment.isValid() || !Placement::snap(m_model->track, moment.toMSecsSinceEpoch(), &latitude, &longitude)) {
        showMessage(Status::Error, tr("Not on the track"),
                    tr("The track has no positions on both sides of the time %1 was taken: drag it onto the map "
                       "instead.")
                        .arg(QFileInfo(photo.filePath).fileName()));
        return;
    }
    place(index, latitude, longitude, model::PhotoGeotag::Origin::Track);
}

void MainController::place(int index, double latitude, double longitude, model::PhotoGeotag::Origin origin)
{
    if (!m_placement || index < 0 || index >= m_model->photos.size() || m_screen != GeotagMap)
        return;
    model::PhotoGeotag record = m_model->photos.at(index);
    model::Failure failure;
    if (!m_placement->place(&record, latitude, longitude, origin, *m_model, &failure)) {
        failure.title = tr("Not placed");
        showFailure(failure);
        return;
    }
    m_model->photos[index] = record;
    m_undoIndex = index;
    emit photosUpdated(m_model->photos);
    emit undoChanged(tr("Undo placing %1").arg(QFileInfo(record.filePath).fileName()));
}

void MainController::undoPlacement()
{
    if (!m_placement || m_undoIndex < 0 || m_undoIndex >= m_model->photos.size() || !m_placement->canUndo())
        return;
    model::PhotoGeotag record = m_model->photos.at(m_undoIndex);
    model::Failure failure;
    if (!m_placement->undo(&record, &failure)) {
        failure.title = tr("Not undone");
        showFailure(failure);
        return;
    }
    m_model->photos[m_undoIndex] = record;
    m_undoIndex = -1;
    emit photosUpdated(m_model->photos);
    emit undoChanged(QString());
}

} // namespace controller
