#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

namespace controller {

// What the web service says about the user: filled by a "serviceStatus"
// request; `answers` is false when no answer came.
struct ServiceStatus {
    QString address;
    bool answers = false;
    QString problem; // why not, or the service's refusal
    QString phoneName;
    qint64 positions = 0;
    QString first; // ISO 8601 UTC moments of the oldest and newest position
    QString last;
    QStringList phonePageUrls;
    QString userID; // the account the service answered for
    bool demo = false; // that account holds demo positions
    bool listensLocally = false; // the service takes connections from this computer only
    bool linked = false; // this computer has an account identifier of its own

    // Where a phone opens the phone page: the service's first address, or
    // the one derived from the base URL.
    QString phonePageUrl() const;
    // The stored positions and their span in plain words, in this
    // computer's time zone, which is named.
    QString positionsText() const;
    // False when no phone can open the phone page: the service takes
    // connections from this computer only.
    bool phoneCanReach() const;
    // Says so, and how to change it.
    QString unreachableText() const;
};

} // namespace controller

Q_DECLARE_METATYPE(controller::ServiceStatus)
