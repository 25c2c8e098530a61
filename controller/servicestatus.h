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
    QString listening; // "loopback" or "network"; empty when the service did not say
    QString userId;    // the account the answer is about
    bool demo = false; // that account is a demo phone's
    bool linked = false; // this computer has an account identifier of its own

    // Where a phone opens the phone page: the first of the service's
    // addresses, else the one derived from the base URL, that is not this
    // computer's own (127.x, ::1, localhost), which a phone cannot reach;
    // empty when there is none.
    QString phonePageUrl() const;
    // Where a browser on this computer opens the phone page: at the address
    // Kestrel itself uses.
    QString browserPageUrl() const;
    // True for localhost and the loopback addresses.
    static bool isLoopbackHost(const QString& host);
    // The stored positions and their span in plain words, in this
    // computer's time zone, which is named.
    QString positionsText() const;
    // False when no phone can open the phone page: the service takes
    // connections from this computer only.
    bool phoneCanReach() const;
    // Says so, and how to change it.
    QString unreachableText() const;
    // The one step that lets phones reach a service on this computer.
    static QString networkStep();
};

} // namespace controller

Q_DECLARE_METATYPE(controller::ServiceStatus)
