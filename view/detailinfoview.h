#pragma once

#include <QDialog>
#include <QSize>
#include <QString>
#include <memory>

#include "model/model.h"

class QLabel;

namespace Ui {
class DetailInfoView;
}

namespace view {

// Modal dialog with everything known about one photo of a geotagging run: its
// times, position, accuracy and named place with a link to a web map, where
// the camera's clock offset came from, or its failure.
class DetailInfoView : public QDialog {
    Q_OBJECT
public:
    // The record is not copied: it must outlive the dialog.
    explicit DetailInfoView(const model::PhotoGeotag& photo, QWidget* parent = nullptr);
    ~DetailInfoView() override;

    // What exec() returns when the user asked for the photo on Kestrel's map.
    static constexpr int ShowOnMap = 2;

    // Web map page that shows a position: a host accepting "/maps?q=lat,lon".
    static QString mapBaseAddress();

    // Position texts shared with the results: degrees to six decimals
    // without sign and a hemisphere letter ("46.056947N"), altitude to one
    // decimal with its sign and unit ("-12.5 m").
    static QString latitudeText(double latitude);
    static QString longitudeText(double longitude);
    static QString altitudeText(double altitude);
    // The stated error of a measured position with its unit and, when
    // known, its parts: "23.4 m (fixes 5.0 m, movement 20.1 m, clock 2.0 m)".
    static QString accuracyText(const model::PhotoGeotag& photo);
    // A date and time as ISO writes it ("2026-12-03 12:33:17"), also when
    // it comes in the EXIF form ("2026:12:03 12:33:17").
    static QString dateTimeText(const QString& exifDateTime);

private slots:
    void on_closeButton_clicked();
    void on_showOnMapButton_clicked();
    void on_webMapButton_clicked();

private:
    // Fills the success page: the times, the position and its accuracy, the
    // named place, the clock's account and the notes.
    void showPosition(const model::PhotoGeotag& photo);

    static constexpr QSize thumbnailSize{96, 64};
    static constexpr int minimumWidth = 460;

    std::unique_ptr<Ui::DetailInfoView> m_ui;
    QLabel* m_thumbnailLabel = nullptr;
    const model::PhotoGeotag* m_photo;
    QString m_mapUrl;
};

} // namespace view
