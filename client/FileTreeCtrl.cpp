#include "FileTreeCtrl.h"

#include "MainFrame.h"

#include <QAbstractProxyModel>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>

// Chosen folders of a QFileSystemModel side by side at the top level, each with the source's
// own rows below it. The folders never nest, so every source item lies under at most one of them
// and maps to one place. A top-level row has no internal pointer; a row below carries its source
// item's. Source changes outside the chosen folders are not shown.
class CFileTreeRoots : public QAbstractProxyModel {
public:
    CFileTreeRoots(QFileSystemModel* source, const QStringList& folders, QObject* parent)
        : QAbstractProxyModel(parent), m_fs(source), m_folders(folders)
    {
        setSourceModel(source);
        resolve();
        connect(source, &QAbstractItemModel::dataChanged, this, &CFileTreeRoots::onDataChanged);
        connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this, [this](const QModelIndex& p, int first, int last) {
            if (inside(p))
                beginInsertRows(mapFromSource(p), first, last);
        });
        connect(source, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& p) {
            if (inside(p))
                endInsertRows();
        });
        connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this](const QModelIndex& p, int first, int last) {
            if (inside(p)) {
                beginRemoveRows(mapFromSource(p), first, last);
                return;
            }
            for (const QPersistentModelIndex& root : m_roots)
                if (root.parent() == p && root.row() >= first && root.row() <= last)
                    m_lostRoot = true;
            if (m_lostRoot)
                beginResetModel();
        });
        connect(source, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex& p) {
            if (inside(p)) {
                endRemoveRows();
            } else if (m_lostRoot) {
                m_lostRoot = false;
                resolve();
                endResetModel();
            }
        });
        connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] {
            emit layoutAboutToBeChanged();
            m_layoutProxy = persistentIndexList();
            m_layoutSource.clear();
            for (const QModelIndex& index : std::as_const(m_layoutProxy))
                m_layoutSource.append(mapToSource(index));
        });
        connect(source, &QAbstractItemModel::layoutChanged, this, [this] {
            for (qsizetype i = 0; i < m_layoutProxy.size(); ++i)
                changePersistentIndex(m_layoutProxy.at(i), mapFromSource(m_layoutSource.at(i)));
            m_layoutProxy.clear();
            m_layoutSource.clear();
            emit layoutChanged();
        });
        connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
        connect(source, &QAbstractItemModel::modelReset, this, [this] {
            resolve();
            endResetModel();
        });
    }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override
    {
        if (!hasIndex(row, column, parent))
            return {};
        if (!parent.isValid())
            return createIndex(row, column);
        const QModelIndex source = m_fs->index(row, column, mapToSource(parent));
        return source.isValid() ? createIndex(row, column, source.internalPointer()) : QModelIndex();
    }
    QModelIndex parent(const QModelIndex& child) const override
    {
        if (!child.isValid() || !child.internalPointer())
            return {};
        return mapFromSource(mapToSource(child).parent());
    }
    int rowCount(const QModelIndex& parent = {}) const override
    {
        if (!parent.isValid())
            return static_cast<int>(m_roots.size());
        return parent.column() == 0 ? m_fs->rowCount(mapToSource(parent)) : 0;
    }
    int columnCount(const QModelIndex& parent = {}) const override { return m_fs->columnCount(mapToSource(parent)); }
    bool hasChildren(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? m_fs->hasChildren(mapToSource(parent)) : !m_roots.isEmpty();
    }
    bool canFetchMore(const QModelIndex& parent) const override { return parent.isValid() && m_fs->canFetchMore(mapToSource(parent)); }
    // A top-level row is named by its whole path: two volumes may share a last name.
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (index.isValid() && !index.internalPointer() && index.column() == 0 && role == Qt::DisplayRole)
            return QDir::toNativeSeparators(m_fs->filePath(mapToSource(index)));
        return QAbstractProxyModel::data(index, role);
    }

    QModelIndex mapToSource(const QModelIndex& proxy) const override
    {
        if (!proxy.isValid())
            return {};
        if (proxy.internalPointer())
            return createSourceIndex(proxy.row(), proxy.column(), proxy.internalPointer());
        const QPersistentModelIndex& root = m_roots.at(proxy.row());
        return root.sibling(root.row(), proxy.column());
    }
    QModelIndex mapFromSource(const QModelIndex& source) const override
    {
        if (!source.isValid())
            return {};
        const int root = rootRow(source);
        if (root >= 0)
            return createIndex(root, source.column());
        return inside(source.parent()) ? createIndex(source.row(), source.column(), source.internalPointer()) : QModelIndex();
    }

private:
    void resolve()
    {
        m_roots.clear();
        for (const QString& folder : std::as_const(m_folders)) {
            const QModelIndex index = m_fs->index(folder);
            if (index.isValid())
                m_roots.append(index);
        }
    }
    int rootRow(const QModelIndex& source) const
    {
        for (qsizetype i = 0; i < m_roots.size(); ++i)
            if (m_roots.at(i).internalPointer() == source.internalPointer())
                return static_cast<int>(i);
        return -1;
    }
    // Whether a source item is a chosen folder or lies under one.
    bool inside(QModelIndex source) const
    {
        for (; source.isValid(); source = source.parent())
            if (rootRow(source) >= 0)
                return true;
        return false;
    }
    void onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles)
    {
        if (inside(topLeft.parent())) {
            emit dataChanged(mapFromSource(topLeft), mapFromSource(bottomRight), roles);
            return;
        }
        for (qsizetype i = 0; i < m_roots.size(); ++i) {
            const QPersistentModelIndex& root = m_roots.at(i);
            if (root.parent() == topLeft.parent() && root.row() >= topLeft.row() && root.row() <= bottomRight.row())
                emit dataChanged(index(static_cast<int>(i), topLeft.column()), index(static_cast<int>(i), bottomRight.column()), roles);
        }
    }

    QFileSystemModel* m_fs;
    QStringList m_folders;
    QList<QPersistentModelIndex> m_roots;
    QModelIndexList m_layoutProxy;
    QList<QPersistentModelIndex> m_layoutSource;
    bool m_lostRoot = false;
};

CFileTreeCtrl::CFileTreeCtrl(QWidget* parent) : QTreeView(parent)
{
    setObjectName(QStringLiteral("FileTree"));
    setHeaderHidden(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    // Dragging or clicking the scroll bar is the user moving elsewhere.
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] { m_keepInView = QPersistentModelIndex(); });
    InitTree();
}

QStringList CFileTreeCtrl::MountedVolumes(const QString& mountsFile)
{
    QFile file(mountsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Fields are separated by blanks; a blank, tab, newline or backslash inside one is "\ooo".
    const auto unescape = [](const QByteArray& field) {
        QByteArray out;
        for (qsizetype i = 0; i < field.size(); ++i) {
            const char c = field.at(i);
            if (c == '\\' && i + 3 < field.size()) {
                bool ok = false;
                const int code = field.mid(i + 1, 3).toInt(&ok, 8);
                if (ok && code < 256) {
                    out.append(static_cast<char>(code));
                    i += 3;
                    continue;
                }
            }
            out.append(c);
        }
        return QString::fromLocal8Bit(out);
    };
    QStringList volumes;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2 || !fields.at(0).startsWith("/dev/"))
            continue;
        const QString point = QDir::cleanPath(unescape(fields.at(1)));
        if (point != QDir::rootPath() && QFileInfo(point).isDir() && !volumes.contains(point))
            volumes.append(point);
    }
    return volumes;
}

QStringList CFileTreeCtrl::TopFolders(const QString& wanted, const QStringList& volumes)
{
    const auto within = [](const QString& path, const QString& folder) {
        return path == folder || path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
    };
    QStringList folders;
    const auto add = [&](const QString& path) {
        if (path.isEmpty() || !QFileInfo(path).isDir())
            return;
        const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        for (const QString& kept : std::as_const(folders))
            if (within(clean, kept) || within(kept, clean))
                return;
        folders.append(clean);
    };
    add(QDir::homePath());
    for (const QString& volume : volumes)
        add(volume);
    add(wanted);
    return folders;
}

void CFileTreeCtrl::InitTree(const QString& wanted)
{
    QFileSystemModel* oldModel = m_model;
    CFileTreeRoots* oldRoots = m_roots;
    m_keepInView = QPersistentModelIndex();
    m_model = new QFileSystemModel(this);
    m_model->setFilter(QDir::AllDirs | QDir::Files | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setReadOnly(true);
    m_model->setRootPath(QDir::rootPath());
    m_roots = new CFileTreeRoots(m_model, TopFolders(wanted, MountedVolumes(QStringLiteral("/proc/self/mounts"))), this);
    setModel(m_roots);
    for (int c = 1; c < m_roots->columnCount(); ++c)
        hideColumn(c);
    setSortingEnabled(true);
    sortByColumn(0, Qt::AscendingOrder);
    // Listings arrive and get sorted after the selection was made, moving it.
    connect(m_roots, &QAbstractItemModel::rowsInserted, this, &CFileTreeCtrl::keepInView);
    connect(m_roots, &QAbstractItemModel::layoutChanged, this, &CFileTreeCtrl::keepInView);
    delete oldRoots;
    delete oldModel;
}

QModelIndex CFileTreeCtrl::SetSelectedPath(const QString& path, bool expand)
{
    if (path.isEmpty())
        return {};
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QModelIndex index = m_roots->mapFromSource(m_model->index(clean));
    if (!index.isValid())
        return {};
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        QTreeView::expand(up);
    setCurrentIndex(index);
    m_keepInView = index;
    scrollTo(index);
    if (expand)
        QTreeView::expand(index);
    return index;
}

void CFileTreeCtrl::keepInView()
{
    if (m_keepInView.isValid() && isVisible())
        scrollTo(m_keepInView);
}

QString CFileTreeCtrl::ItemToPath(const QModelIndex& index) const
{
    return index.isValid() ? m_model->filePath(m_roots->mapToSource(index)) : QString();
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

void CFileTreeCtrl::showEvent(QShowEvent* event)
{
    QTreeView::showEvent(event);
    keepInView();
}

void CFileTreeCtrl::wheelEvent(QWheelEvent* event)
{
    m_keepInView = QPersistentModelIndex();
    QTreeView::wheelEvent(event);
}

void CFileTreeCtrl::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QTreeView::currentChanged(current, previous);
    if (current != m_keepInView)
        m_keepInView = QPersistentModelIndex();
}
