#include "FileTreeView.h"

#include "FileTreeCtrl.h"
#include "FrameText.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QVBoxLayout>

CFileTreeView::CFileTreeView(CMainFrame* frame, QWidget* parent) : QWidget(parent), m_tree(new CFileTreeCtrl(this))
{
    setObjectName(QStringLiteral("FileTreePane"));
    m_tree->setFrame(frame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->addWidget(m_tree);
    RefreshTree();
}

void CFileTreeView::RefreshTree()
{
    const QString download = DownloadDir();
    QString path;
    bool expand;
    if (!download.isEmpty() && QFileInfo(download).isDir()) {
        path = download;
        expand = true;
    } else {
        QSettings profile;
        path = profile.value(QStringLiteral("Settings/Last Path"), QDir::homePath()).toString();
        expand = profile.value(QStringLiteral("Settings/Expanded"), 0).toInt() != 0;
    }
    // The folder shows even when it lies outside home and the volumes.
    m_tree->InitTree(path);
    m_tree->SetSelectedPath(path, expand);
}
