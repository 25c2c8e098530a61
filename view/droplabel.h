#pragma once

#include <QLabel>

// A label that takes dropped local files and/or folders and reports each one
// by its absolute path. With both properties false it refuses every drag.
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

signals:
    void fileDropped(QString fileName);
    void folderDropped(QString folderName);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool m_acceptDroppedFiles = false;
    bool m_acceptDroppedFolders = false;
};
