#include <QtTest>

#include <QDir>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include "support/files.h"
#include "support/widgets.h"
#include "view/droplabel.h"

using view::DropLabel;

// Drag and drop of local files and folders on a DropLabel. The events are
// handed straight to the label's handlers: the application's own dispatch
// would route them through the global drag manager, which keeps the last
// drop target between test functions. How the main window configures its
// labels (one photo, photo types only) is tried in tst_mainview.
class ProbedDropLabel : public DropLabel {
public:
    using DropLabel::dragEnterEvent;
    using DropLabel::dropEvent;
};

class TestDropLabel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void propertiesSetDropAcceptance();
    void dragAndDrop_data();
    void dragAndDrop();

private:
    QString path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }
    QList<QUrl> urls(const QStringList& names) const;

    QTemporaryDir m_dir;
};

void TestDropLabel::initTestCase()
{
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        QVERIFY(testsupport::writeFile(path(QString::fromLatin1(name)), "x"));
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("photos")));
}

QList<QUrl> TestDropLabel::urls(const QStringList& names) const
{
    QList<QUrl> result;
    for (const QString& name : names)
        result << (name.startsWith(QLatin1String("http")) ? QUrl(name) : QUrl::fromLocalFile(path(name)));
    return result;
}

// Drags from the window system reach the label while it takes files or folders.
void TestDropLabel::propertiesSetDropAcceptance()
{
    DropLabel label;
    QVERIFY(!label.acceptDrops());
    label.setAcceptDroppedFiles(true);
    label.setAcceptDroppedFolders(true);
    label.setAcceptDroppedFiles(false);
    QVERIFY(label.acceptDrops());
    label.setAcceptDroppedFolders(false);
    QVERIFY(!label.acceptDrops());
}

void TestDropLabel::dragAndDrop_data()
{
    QTest::addColumn<bool>("files");
    QTest::addColumn<bool>("folders");
    QTest::addColumn<QStringList>("names");
    // What the drop hands on; the drag is accepted when it hands on anything.
    QTest::addColumn<QStringList>("droppedFiles");
    QTest::addColumn<QStringList>("droppedFolders");
    // A folder on the files label and the reverse, as the main window's
    // labels are set up, are tried in tst_mainview.
    const QStringList none;
    QTest::newRow("files in order") << true << false << QStringList{"c.jpg", "a.jpg", "b.jpg"}
                                    << QStringList{"c.jpg", "a.jpg", "b.jpg"} << none;
    QTest::newRow("file on folders label") << false << true << QStringList{"a.jpg"} << none << none;
    QTest::newRow("mix on both") << true << true << QStringList{"photos", "a.jpg"} << QStringList{"a.jpg"}
                                 << QStringList{"photos"};
    QTest::newRow("web links ignored") << true << true << QStringList{"http://example.com/x.jpg", "a.jpg", "https://example.com/"}
                                       << QStringList{"a.jpg"} << none;
    QTest::newRow("missing file") << true << true << QStringList{"missing.jpg"} << none << none;
    QTest::newRow("no urls") << true << true << none << none << none;
}

void TestDropLabel::dragAndDrop()
{
    QFETCH(bool, files);
    QFETCH(bool, folders);
    QFETCH(QStringList, names);
    QFETCH(QStringList, droppedFiles);
    QFETCH(QStringList, droppedFolders);
    ProbedDropLabel label;
    label.setAcceptDroppedFiles(files);
    label.setAcceptDroppedFolders(folders);
    QSignalSpy fileSpy(&label, &DropLabel::fileDropped);
    QSignalSpy folderSpy(&label, &DropLabel::folderDropped);
    QMimeData data;
    data.setUrls(urls(names));
    QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    label.dragEnterEvent(&enter);
    const bool accepted = !droppedFiles.isEmpty() || !droppedFolders.isEmpty();
    QCOMPARE(enter.isAccepted(), accepted);
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    label.dropEvent(&drop);

    const auto want = [this](const QStringList& names) {
        QStringList paths;
        for (const QString& name : names)
            paths << QFileInfo(path(name)).absoluteFilePath();
        return paths;
    };
    QCOMPARE(testsupport::firstArguments(fileSpy), want(droppedFiles));
    QCOMPARE(testsupport::firstArguments(folderSpy), want(droppedFolders));
}

QTEST_MAIN(TestDropLabel)
#include "tst_droplabel.moc"
