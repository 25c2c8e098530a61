#pragma once

#include <QLabel>
#include <QStringList>

class QMimeData;
class QTimer;

namespace view {

// A label that takes dropped local files and/or folders and reports each one
// by its absolute path. With both properties false it refuses every drag.
// While something is dragged over it, its dynamic property "dropState" is
// "accepted" or "refused", so that the style sheet can light it up.
class DropLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(bool acceptDroppedFiles READ acceptDroppedFiles WRITE setAcceptDroppedFiles)
    Q_PROPERTY(bool acceptDroppedFolders READ acceptDroppedFolders WRITE setAcceptDroppedFolders)
public:
    explicit DropLabel(QWidget* parent = nullptr);

    bool acceptDroppedFiles() const { return m_acceptDroppedFiles; }
    bool acceptDroppedFolders() const { return m_acceptDroppedFolders; }
    void setAcceptDroppedFiles(bool accept);
    void setAcceptDroppedFolders(bool accept);

    // Narrower acceptance: files must match one of the name patterns (any
    // letter case; empty: every file), and with single set a drag must carry
    // exactly one item.
    void setFileFilters(const QStringList& patterns) { m_fileFilters = patterns; }
    void setSingleItem(bool single) { m_singleItem = single; }

    // Whether a drag carrying data would be taken.
    bool wouldAccept(const QMimeData* data) const;

signals:
    void fileDropped(QString fileName);
    void folderDropped(QString folderName);
    // "accepted", "refused" or empty when the drag is over.
    void dropStateChanged(QString state);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool qualifies(const QString& localPath) const;
    void setDropState(const char* state);

    // Puts the light out should the pointer leave without a leave event.
    QTimer* m_leaveCheck = nullptr;
    bool m_acceptDroppedFiles = false;
    bool m_acceptDroppedFolders = false;
    bool m_singleItem = false;
    QStringList m_fileFilters;
};

} // namespace view
