// The local file tree: the file system as a tree (folders before files, both by name; hidden and
// system entries left out), opened at a chosen folder. A double-click on a file whose name ends in
// ".avi" (any case) hands it to the main frame's local playback. Renaming,
// deleting and making folders are off, as the client uses the control.
//
// Thread: GUI. The model watches the folders it shows on its own thread.
#pragma once

#include <QTreeView>

class CMainFrame;
class QFileSystemModel;

class CFileTreeCtrl : public QTreeView {
    Q_OBJECT
public:
    explicit CFileTreeCtrl(QWidget* parent = nullptr);

    void setFrame(CMainFrame* frame) { m_frame = frame; }
    // Rebuilds the model from the file-system root.
    void InitTree();
    // Selects the item of path (and expands it when asked); the item's index, invalid when the
    // path does not exist.
    QModelIndex SetSelectedPath(const QString& path, bool expand);
    QString ItemToPath(const QModelIndex& index) const;
    QString selectedPath() const;
    // The .avi hook: true when the path went to playback.
    bool OpenLocalFile(const QString& path);
    // Whether a path is a local recording for playback: its file name ends in ".avi" in any case
    // and has a name before it.
    static bool IsPlayablePath(const QString& path);

    QFileSystemModel* fileModel() const { return m_model; }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    CMainFrame* m_frame = nullptr;
    QFileSystemModel* m_model = nullptr;
};
