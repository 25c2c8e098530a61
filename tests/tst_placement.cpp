#include <QtTest>

#include <QDirIterator>
#include <QLabel>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "controller/filereplacement.h"
#include "controller/placement.h"
#include "support/files.h"
#include "support/photos.h"
#include "support/widgets.h"
#include "view/detailinfoview.h"

using controller::Placement;

namespace {

// Every file under folder, hidden ones too, as its permission bits and bytes.
QMap<QString, QByteArray> tree(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(folder.size()), QByteArray::number(int(QFileInfo(path).permissions()), 16) + ' ' + testsupport::readFile(path));
    }
    return files;
}

// The GPS entries and the capture time of a photo or an XMP sidecar, "name=value", sorted.
QStringList gpsOf(const QString& path)
{
    QStringList found;
    auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    image->readMetadata();
    for (const auto& datum : image->xmpData())
        found << QString::fromStdString(datum.tagName() + "=" + datum.toString());
    for (const auto& datum : image->exifData()) // a sidecar's properties come again as EXIF entries
        if (image->xmpData().empty())
            found << QString::fromStdString(datum.tagName() + "=" + datum.toString());
    found = found.filter(QRegularExpression("^(GPS(?!Tag)|DateTimeOriginal=)"));
    found.sort();
    return found;
}

QString summaryOf(const model::PhotoGeotag& r)
{
    return QStringLiteral("%1 %2 %3 %4 %5").arg(r.success).arg(r.latitude).arg(int(r.origin)).arg(r.timeWritten).arg(r.summary());
}

} // namespace

class TestPlacement : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_in = m_dir->filePath("in/");
        QVERIFY(QDir().mkpath(m_in));
        m_settings.inputFolder = m_in;
        m_settings.outputFolder = m_in + "KESTREL/";
        m_settings.modifyTimeDate = true;
    }

    // Where the kernel cannot copy between two files (into a pipe), the bytes
    // go through memory; a write that fails there fails the copy.
    void copyThroughMemory()
    {
        const QString source = m_dir->filePath("source");
        QVERIFY(testsupport::writeFile(source, QByteArray(5000, 'k')));
        controller::SourceFile in(QFile::encodeName(source));
        QVERIFY(in.open());
        int pipe[2];
        QVERIFY(::pipe(pipe) == 0);
        const controller::Descriptor reading(pipe[0]), writing(pipe[1]);
        QVERIFY(controller::copyRange(in.in.fd, 1000, writing.fd, 4000));
        QByteArray copied(5000, '\0');
        QCOMPARE(::read(reading.fd, copied.data(), copied.size()), ssize_t(4000));
        model::Failure failure;
        QVERIFY(!controller::copyRange(in.in.fd, 0, reading.fd, 10, &failure));
        QVERIFY(failure.detail.contains("cannot write the temporary file"));
    }

    void place_data()
    {
        QTest::addColumn<QString>("name");        // a.NEF: a raw file, whose tags go into a sidecar
        QTest::addColumn<bool>("rewrite");
        QTest::addColumn<int>("origin");
        QTest::addColumn<bool>("earlier");        // the run wrote it: the record has a time and zone, a copy is there
        QTest::addColumn<QString>("blocked");     // the read-only photo, or what is in the way
        QTest::addColumn<QStringList>("written"); // GPS entries afterwards, or the failure
        const QStringList at { "GPSLatitude=46500000/1000000 0/1 0/1", "GPSLatitudeRef=N", "GPSLongitude=14250000/1000000 0/1 0/1",
                               "GPSLongitudeRef=W" };
        const QStringList byHand = at + QStringList { "GPSProcessingMethod=charset=Ascii MANUAL", "GPSVersionID=2 3 0 0" };
        const QStringList onTrack = QStringList { "GPSDateStamp=2026:07:14" } + at
            + QStringList { "GPSProcessingMethod=charset=Ascii GPS", "GPSTimeStamp=12/1 34/1 56/1", "GPSVersionID=2 3 0 0" };
        const QString camera = "DateTimeOriginal=2026:07:14 12:34:56", corrected = "DateTimeOriginal=2026:07:14 14:34:56";
        const QString unwritten = "Error writing EXIF data to the image file";
        QTest::newRow("by hand, in place") << "a.jpg" << true << 1 << true << "" << QStringList { corrected } + byHand;
        QTest::newRow("by hand, copy of a failed photo") << "a.jpg" << false << 1 << false << "" << QStringList { camera } + byHand;
        QTest::newRow("on the track, copy made again") << "a.jpg" << false << 2 << true << "" << QStringList { corrected } + onTrack;
        QTest::newRow("on the track, in place") << "a.jpg" << true << 2 << false << "" << QStringList { camera } + onTrack;
        QTest::newRow("by hand, raw sidecar") << "a.NEF" << true << 1 << false << ""
            << QStringList { "GPSLatitude=46,30.000000N", "GPSLongitude=14,15.000000W", "GPSProcessingMethod=MANUAL",
                             "GPSVersionID=2.3.0.0" };
        QTest::newRow("read-only photo") << "a.jpg" << true << 1 << false << "a.jpg"
            << QStringList { "EXIF Error", unwritten + ": the photo is read-only", "the photo is read-only" };
        QTest::newRow("file in the way of the copy folder") << "a.jpg" << false << 1 << false << "KESTREL"
            << QStringList { "EXIF Error", "The folder KESTREL for the copy cannot be made; nothing was written.",
                             "the folder for the copy cannot be made" };
        QTest::newRow("sidecar name taken: the earlier copy stays") << "a.NEF" << false << 1 << true << "KESTREL/a.xmp"
            << QStringList { "EXIF Error", unwritten, "" };
    }

    // The position is written with the origin's method and without the
    // stale accuracy, altitude and GPS time an earlier write left; Undo puts
    // every file back byte for byte, with its permissions, and the record.
    // A write that fails leaves all that as it was, also a copy that a failed
    // sidecar would have taken away.
    void place()
    {
        QFETCH(QString, name);
        QFETCH(bool, rewrite);
        QFETCH(int, origin);
        QFETCH(bool, earlier);
        QFETCH(QString, blocked);
        m_settings.rewrite = rewrite;
        m_settings.rawSidecars = name.endsWith("NEF");
        const QString photo = m_in + name;
        const auto tags = testsupport::cameraTags() + testsupport::ExifTags { { "Exif.GPSInfo.GPSHPositioningError", "5/1" },
            { "Exif.GPSInfo.GPSAltitude", "100/1" }, { "Exif.GPSInfo.GPSDateStamp", "2020:01:01" } };
        QVERIFY(m_settings.rawSidecars ? testsupport::writeTiff(photo, testsupport::texturedImage(32, 24), tags)
                                       : testsupport::writePhoto(photo, testsupport::texturedImage(32, 24), tags));
        QVERIFY(QFile::setPermissions(photo, blocked == name ? QFile::ReadUser : QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup));
        if (!blocked.isEmpty() && blocked != name)
            QVERIFY(blocked.contains('/') ? QDir().mkpath(m_in + blocked) : testsupport::writeFile(m_in + blocked, "in the way"));
        if (earlier && !rewrite)
            QVERIFY(QDir().mkpath(m_settings.outputFolder) && QFile::copy(photo, m_settings.outputFolder + name));
        model::PhotoGeotag record;
        record.filePath = photo;
        record.success = earlier;
        record.photoTime = earlier ? "2026-07-14 14:34:56" : "";
        record.timeZone = earlier ? "+02:00" : "";
        record.errorTitle = earlier ? "" : "No position";
        record.utcTime = "2026-07-14T12:34:56.480Z";
        const QString before = summaryOf(record);
        const auto files = tree(m_dir->path());
        const auto inode = [&photo] {
            struct stat now {};
            return ::stat(QFile::encodeName(photo), &now) == 0 ? now.st_ino : 0;
        };
        const ino_t photoInode = inode();

        Placement placement;
        model::Failure failure;
        const bool placed = placement.place(&record, 46.5, -14.25, model::PhotoGeotag::Origin(origin), m_settings, &failure);
        if (!placed) {
            QTEST(QStringList({ failure.title, failure.detail, failure.cause }).replaceInStrings(m_in, ""), "written");
            QCOMPARE(tree(m_dir->path()), files);
            QCOMPARE(inode(), photoInode); // not even written again
            QCOMPARE(summaryOf(record), before);
            QVERIFY(!placement.canUndo() && blocked != "");
            return;
        }
        QTEST(gpsOf(m_settings.rawSidecars ? m_in + "a.xmp" : rewrite ? photo : m_settings.outputFolder + name), "written");
        QCOMPARE(summaryOf(record), QStringLiteral("1 46.5 %1 %2 ").arg(origin).arg(earlier)
                     + (origin == 1 ? "Placed by hand" : "Placed on the track at its corrected time")
                     + (m_settings.rawSidecars ? "; GPS written to a.xmp" : ""));
        view::DetailInfoView details(record); // no accuracy of its own
        QCOMPARE(testsupport::child<QLabel>(&details, "accuracyLabel")->text(), "None: the position was placed, not measured");
        QVERIFY(placement.canUndo() && placement.undo(&record, &failure));
        QCOMPARE(tree(m_dir->path()), files);
        QCOMPARE(QFileInfo::exists(m_settings.outputFolder), earlier && !rewrite);
        QCOMPARE(summaryOf(record), before);
        QVERIFY(!placement.canUndo() && !placement.undo(&record));
    }

    // Where the photo is on another file system than the temporary folder,
    // Undo keeps it as a copy instead of a second name, and puts it back all
    // the same.
    void undoFromAnotherFileSystem()
    {
        struct stat here {}, temporary {};
        m_dir.reset(new QTemporaryDir("/dev/shm/kestrel-test-XXXXXX"));
        if (!m_dir->isValid() || ::stat(QFile::encodeName(m_dir->path()), &here) != 0
            || ::stat(QFile::encodeName(QDir::tempPath()), &temporary) != 0 || here.st_dev == temporary.st_dev)
            QSKIP("no file system beside the temporary folder's (/dev/shm)");
        m_settings.rewrite = true;
        m_settings.rawSidecars = false;
        const QString photo = m_dir->filePath("a.jpg");
        QVERIFY(testsupport::writePhoto(photo, testsupport::texturedImage(32, 24), testsupport::cameraTags()));
        const auto files = tree(m_dir->path());
        model::PhotoGeotag record;
        record.filePath = photo;
        Placement placement;
        model::Failure failure;
        QVERIFY2(placement.place(&record, 46.5, -14.25, model::PhotoGeotag::Origin(1), m_settings, &failure),
                 qPrintable(failure.detail));
        QVERIFY(tree(m_dir->path()) != files);
        QVERIFY(placement.undo(&record, &failure));
        QCOMPARE(tree(m_dir->path()), files);
    }

    // Without the photo's time zone its time is not corrected, even when
    // the settings ask for it: the camera's time stays.
    void placeWithoutZone()
    {
        m_settings.rewrite = true;
        m_settings.rawSidecars = false;
        const QString photo = m_in + "z.jpg";
        QVERIFY(testsupport::writePhoto(photo, testsupport::texturedImage(32, 24), testsupport::cameraTags()));
        model::PhotoGeotag record;
        record.filePath = photo;
        record.success = true;
        record.photoTime = "2026-07-14 14:34:56";
        Placement placement;
        model::Failure failure;
        QVERIFY(placement.place(&record, 46.5, -14.25, model::PhotoGeotag::Origin(1), m_settings, &failure));
        QVERIFY(gpsOf(photo).contains("DateTimeOriginal=2026:07:14 12:34:56"));
    }

    void snap_data()
    {
        QTest::addColumn<qint64>("time");
        QTest::addColumn<QString>("position"); // empty: none
        QTest::newRow("between") << qint64(1500) << "12.5 25";
        QTest::newRow("at a position") << qint64(3000) << "20 40";
        QTest::newRow("at the first") << qint64(1000) << "10 20";
        QTest::newRow("at the last") << qint64(6000) << "40 -179";
        QTest::newRow("across the 180th meridian") << qint64(5000) << "35 180";
        QTest::newRow("before") << qint64(999) << "";
        QTest::newRow("after") << qint64(6001) << "";
        QTest::newRow("empty track") << qint64(-1) << "";
    }

    void snap()
    {
        QFETCH(qint64, time);
        model::Track track { { 1000, 10, 20 }, { 3000, 20, 40 }, { 3000, 20, 40 }, { 4000, 30, 179 }, { 6000, 40, -179 } };
        if (time < 0)
            track.clear();
        double latitude = 0, longitude = 0;
        const bool snapped = Placement::snap(track, time, &latitude, &longitude);
        QTEST(snapped ? QStringLiteral("%1 %2").arg(latitude).arg(longitude) : QString(), "position");
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_in;
    model::Model m_settings;
};

QTEST_MAIN(TestPlacement)
#include "tst_placement.moc"
