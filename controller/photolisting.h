#pragma once

#include <QString>
#include <QStringList>

namespace controller {

// The photo files of a folder, in natural order of their paths relative to the
// folder ("P2" before "P10"), so that every run takes them in the same order.
// With subfolders, the folders below are searched too, except the "KESTREL"
// output folder and anything reached through a link.
class PhotoListing {
public:
    PhotoListing(const QString& folder, bool includeSubfolders);

    const QStringList& paths() const { return m_photoPaths; }
    // Files that are no photos, and subfolders, met on the way (those of the
    // top folder only when subfolders are not searched).
    int otherFiles() const { return m_otherCount; }
    int subfolders() const { return m_folderCount; }

    // Why the folder yields no photo; empty when it has some.
    QString emptyReason(bool includeSubfolders) const;

    // Natural order: digit runs compare by value, the rest without regard to
    // case; ties are broken by the plain text, so the order is total.
    static bool naturalLess(const QString& a, const QString& b);

private:
    void scan(const QString& folder, bool recurse, bool top);

    QStringList m_photoPaths;
    int m_otherCount = 0;
    int m_folderCount = 0;
};

} // namespace controller
