#pragma once

#include <QString>

#include "model/failure.h"
#include "model/model.h"

namespace controller {

// Writes the results of a geotagging run for other programs: a CSV table of
// every photo and a GPX file with one waypoint per located photo (its named
// place in the description). Each file
// replaces an older one only when it is complete. Its failures are headed
// "Cannot export the results", with the system's reason as their detail.
class ResultExport {
public:
    // The CSV column names, in order.
    static QString csvHeader();
    // False when the file cannot be written.
    static bool writeCsv(const model::PhotoGeotagList& photos, const QString& path,
                         model::Failure* failure = nullptr);
    static bool writeGpx(const model::PhotoGeotagList& photos, const QString& path,
                         model::Failure* failure = nullptr);
    // The status column: "OK", or the failure title ("Not processed
    // (stopped)" for the photos a STOP left out), else "FAIL".
    static QString statusText(const model::PhotoGeotag& photo);
    // photoTime with its offset as a UTC time in ISO 8601 ("...Z"); empty
    // when it cannot be read.
    static QString utcTime(const model::PhotoGeotag& photo);
};

} // namespace controller
