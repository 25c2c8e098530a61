#include "controller/photolisting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include "model/model.h"

namespace controller {

PhotoListing::PhotoListing(const QString& folder, bool includeSubfolders)
{
    scan(folder, includeSubfolders, true);
    std::sort(m_photoPaths.begin(), m_photoPaths.end(), [&folder](const QString& a, const QString& b) {
        return naturalLess(a.mid(folder.size()), b.mid(folder.size()));
    });
}

void PhotoListing::scan(const QString& folder, bool recurse, bool top)
{
    const QDir dir(folder);
    // Name filters match without regard to case, as QDirIterator's do.
    QStringList suffixes;
    for (const QString& pattern : model::Model::photoFilePatterns())
        suffixes.append(pattern.mid(2).toLower());
    const QFileInfoList entries
        = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir()) {
            // The output folder holds this program's own copies.
            if (top && entry.fileName() == QLatin1String("KESTREL"))
                continue;
            // A linked folder may lead anywhere, even back up the tree.
            if (entry.isSymLink())
                continue;
            ++m_folderCount;
            if (recurse)
                scan(entry.filePath(), true, false);
        } else if (suffixes.contains(entry.suffix().toLower())) {
            m_photoPaths.append(entry.filePath());
        } else {
            ++m_otherCount;
        }
    }
}

QString PhotoListing::emptyReason(bool includeSubfolders) const
{
    if (!m_photoPaths.isEmpty())
        return QString();
    QString text = QCoreApplication::translate("PhotoListing", "no photos found; %1 files of other types")
                       .arg(m_otherCount);
    if (m_folderCount > 0 && !includeSubfolders)
        text += QCoreApplication::translate("PhotoListing", "; %1 subfolders \u2014 turn on 'include subfolders'")
                    .arg(m_folderCount);
    return text;
}

bool PhotoListing::naturalLess(const QString& a, const QString& b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int endA = i;
            int endB = j;
            while (endA < a.size() && a.at(endA).isDigit())
                ++endA;
            while (endB < b.size() && b.at(endB).isDigit())
                ++endB;
            // Compare by value without converting: leading zeros off, then
            // the longer run is larger, then digit by digit.
            QStringRef runA = a.midRef(i, endA - i);
            QStringRef runB = b.midRef(j, endB - j);
            while (runA.size() > 1 && runA.at(0) == QLatin1Char('0'))
                runA = runA.mid(1);
            while (runB.size() > 1 && runB.at(0) == QLatin1Char('0'))
                runB = runB.mid(1);
            if (runA.size() != runB.size())
                return runA.size() < runB.size();
            const int order = runA.compare(runB);
            if (order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        const QChar ca = a.at(i).toCaseFolded();
        const QChar cb = b.at(j).toCaseFolded();
        if (ca != cb)
            return ca < cb;
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

} // namespace controller
