// The local file pane: the file tree opened at the folder of downloaded recordings. The main
// frame shows it in the local-file mode and refreshes it each time that mode is chosen.
#pragma once

#include <QWidget>

class CFileTreeCtrl;
class CMainFrame;

class CFileTreeView : public QWidget {
    Q_OBJECT
public:
    explicit CFileTreeView(CMainFrame* frame, QWidget* parent = nullptr);

    // Rebuilds the tree and selects the download folder, expanded; when that folder does not
    // exist, the profile's "Settings/Last Path" (home by default), expanded as "Settings/Expanded"
    // says. The folder is scrolled into view when the pane shows.
    void RefreshTree();
    CFileTreeCtrl* tree() const { return m_tree; }

private:
    CFileTreeCtrl* m_tree;
};
