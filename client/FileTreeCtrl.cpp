#include "FileTreeCtrl.h"

#include "MainFrame.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QMouseEvent>

CFileTreeCtrl::CFileTreeCtrl(QWidget* parent) : QTreeView(parent)
{
    setObjectName(QStringLiteral("FileTree"));
    setHeaderHidden(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    InitTree();
}

void CFileTreeCtrl::InitTree()
{
    QFileSystemModel* old = m_model;
    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setReadOnly(true);
    m_model->setRootPath(QDir::rootPath());
    setModel(m_model);
    for (int c = 1; c < m_model->columnCount(); ++c)
        hideColumn(c);
    setSortingEnabled(true);
    sortByColumn(0, Qt::AscendingOrder);
    delete old;
}

QModelIndex CFileTreeCtrl::SetSelectedPath(const QString& path, bool expand)
{
    if (path.isEmpty())
        return {};
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QModelIndex index = m_model->index(clean);
    if (!index.isValid())
        return {};
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        QTreeView::expand(up);
    setCurrentIndex(index);
    scrollTo(index);
    if (expand)
        QTreeView::expand(index);
    return index;
}

QString CFileTreeCtrl::ItemToPath(const QModelIndex& index) const
{
    return index.isValid() ? m_model->filePath(index) : QString();
}

QString CFileTreeCtrl::selectedPath() const
{
    return ItemToPath(currentIndex());
}

bool CFileTreeCtrl::IsPlayablePath(const QString& path)
{
    // A name that ends in ".avi" in any case, with something before it.
    const QString name = QFileInfo(path).fileName();
    return name.size() > 4 && name.endsWith(QLatin1String(".avi"), Qt::CaseInsensitive);
}

bool CFileTreeCtrl::OpenLocalFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isDir() || !IsPlayablePath(path) || !m_frame)
        return false;
    m_frame->PlayLocalFile(path);
    return true;
}

void CFileTreeCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeView::mouseDoubleClickEvent(event);
    OpenLocalFile(selectedPath());
}
