// The local file tree: the user's home folder and the mounted volumes side by side at the top
// level (plus one chosen folder that lies outside all of them), each shown as a tree of folders
// and files (folders before files, both by name; hidden and system entries left out). A
// double-click on a file whose name ends in ".avi" (any case) hands it to the main frame's local
// playback. Renaming, deleting and making folders are off, as the client uses the control.
//
// Thread: GUI. The model watches the folders it shows on its own thread.
#pragma once

#include <QPersistentModelIndex>
#include <QStringList>
#include <QTreeView>

class CMainFrame;
class CFileTreeRoots;
class QFileSystemModel;

class CFileTreeCtrl : public QTreeView {
    Q_OBJECT
public:
    explicit CFileTreeCtrl(QWidget* parent = nullptr);

    void setFrame(CMainFrame* frame) { m_frame = frame; }
    // Rebuilds the model: home and the mounted volumes at the top level, and `wanted` as well
    // when it is a folder outside all of them.
    void InitTree(const QString& wanted = QString());
    // Selects the item of path (and expands it when asked) and keeps it scrolled into view while
    // its folders load, until the user moves elsewhere; the item's index, invalid when the path
    // does not exist or lies under no top-level folder.
    QModelIndex SetSelectedPath(const QString& path, bool expand);
    QString ItemToPath(const QModelIndex& index) const;
    QString selectedPath() const;
    // The .avi hook: true when the path went to playback.
    bool OpenLocalFile(const QString& path);
    // Whether a path is a local recording for playback: its file name ends in ".avi" in any case
    // and has a name before it.
    static bool IsPlayablePath(const QString& path);
    // The mount points of devices ("/dev/..." sources) in a mounts table such as
    // "/proc/self/mounts" that are folders, in the table's order, without "/".
    static QStringList MountedVolumes(const QString& mountsFile);
    // The top-level folders for `wanted`: home, then the volumes, then `wanted` when it lies
    // outside all of them. A folder inside or around one already listed is left out, as it is
    // reachable through that one.
    static QStringList TopFolders(const QString& wanted, const QStringList& volumes);

    QFileSystemModel* fileModel() const { return m_model; }

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    void keepInView();

    CMainFrame* m_frame = nullptr;
    QFileSystemModel* m_model = nullptr;
    CFileTreeRoots* m_roots = nullptr;
    QPersistentModelIndex m_keepInView;
};
