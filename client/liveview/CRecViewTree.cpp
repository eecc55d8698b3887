#include "CRecViewTree.h"

#include "GuiMailbox.h"
#include "MainFrame.h"
#include "RecordFileRequest.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>
#include <vector>

namespace {

constexpr int kImageSize = 24;

QPixmap drawImage(int index)
{
    QPixmap pixmap(kImageSize, kImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case CRecViewTree::kImageOnline:
    case CRecViewTree::kImageOffline: {
        // A camera: body, lens and a state light.
        const bool online = index == CRecViewTree::kImageOnline;
        p.setPen(QPen(QColor(60, 60, 70), 1));
        p.setBrush(online ? QColor(90, 150, 220) : QColor(160, 160, 165));
        p.drawRoundedRect(QRectF(2.5, 6.5, 15, 11), 2, 2);
        p.drawPolygon(QPolygonF({QPointF(17.5, 9.5), QPointF(22.5, 7), QPointF(22.5, 17), QPointF(17.5, 14.5)}));
        p.setBrush(QColor(240, 240, 245));
        p.drawEllipse(QPointF(10, 12), 3.2, 3.2);
        p.setPen(Qt::NoPen);
        p.setBrush(online ? QColor(40, 200, 80) : QColor(200, 60, 60));
        p.drawEllipse(QPointF(5.5, 20.5), 2.5, 2.5);
        break;
    }
    case CRecViewTree::kImageFolder: {
        QPainterPath folder;
        folder.moveTo(2.5, 6.5);
        folder.lineTo(9.5, 6.5);
        folder.lineTo(11.5, 8.5);
        folder.lineTo(21.5, 8.5);
        folder.lineTo(21.5, 19.5);
        folder.lineTo(2.5, 19.5);
        folder.closeSubpath();
        p.setPen(QPen(QColor(170, 120, 30), 1));
        p.setBrush(QColor(245, 200, 90));
        p.drawPath(folder);
        p.setBrush(QColor(250, 215, 120));
        p.drawRect(QRectF(2.5, 10.5, 19, 9));
        break;
    }
    case CRecViewTree::kImageFile: {
        // A recording: a sheet with a folded corner and a play mark.
        QPainterPath sheet;
        sheet.moveTo(5.5, 2.5);
        sheet.lineTo(14.5, 2.5);
        sheet.lineTo(19.5, 7.5);
        sheet.lineTo(19.5, 21.5);
        sheet.lineTo(5.5, 21.5);
        sheet.closeSubpath();
        p.setPen(QPen(QColor(90, 100, 120), 1));
        p.setBrush(QColor(250, 250, 252));
        p.drawPath(sheet);
        p.drawPolyline(QPolygonF({QPointF(14.5, 2.5), QPointF(14.5, 7.5), QPointF(19.5, 7.5)}));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(60, 130, 220));
        p.drawPolygon(QPolygonF({QPointF(10, 10.5), QPointF(16, 14), QPointF(10, 17.5)}));
        break;
    }
    default: {
        // The placeholder: three dots, "not listed yet".
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(150, 150, 150));
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(6.0 + 6.0 * i, 12), 1.8, 1.8);
        break;
    }
    }
    return pixmap;
}

} // namespace

CRecViewTree::CRecViewTree(QWidget* parent) : QTreeWidget(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("CRecViewTree"));
    setHeaderHidden(true);
    setColumnCount(1);
    setIconSize(QSize(kImageSize, kImageSize));
    setRootIsDecorated(true);
    setExpandsOnDoubleClick(true);
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (!OnItemExpanded(item))
            emit expansionForParent(item);
    });
}

CRecViewTree::~CRecViewTree()
{
    m_mailbox->close();
}

QIcon CRecViewTree::ImageIcon(int image)
{
    static const std::vector<QIcon> icons = [] {
        std::vector<QIcon> list;
        for (int i = 0; i < kImageCount; ++i)
            list.emplace_back(drawImage(i));
        return list;
    }();
    return image >= 0 && image < kImageCount ? icons[static_cast<size_t>(image)] : QIcon();
}

int CRecViewTree::itemData(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kDataRole).toInt() : kDevice;
}

void CRecViewTree::setItemData(QTreeWidgetItem* item, int data)
{
    item->setData(0, kDataRole, data);
}

int CRecViewTree::image(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kImageRole).toInt() : -1;
}

void CRecViewTree::setImage(QTreeWidgetItem* item, int imageIndex)
{
    item->setData(0, kImageRole, imageIndex);
    item->setIcon(0, ImageIcon(imageIndex));
}

QTreeWidgetItem* CRecViewTree::InsertNode(QTreeWidgetItem* parent, const QString& text, int imageIndex, int data)
{
    auto* item = new QTreeWidgetItem(parent, QStringList{text});
    setImage(item, imageIndex);
    setItemData(item, data);
    return item;
}

void CRecViewTree::AddPlaceholder(QTreeWidgetItem* node)
{
    InsertNode(node, QString(), kImagePlaceholder, 0);
}

bool CRecViewTree::HasOnlyPlaceholder(const QTreeWidgetItem* node)
{
    return node->childCount() == 1 && node->child(0)->text(0).isEmpty() && image(node->child(0)) == kImagePlaceholder;
}

void CRecViewTree::SetRootPath(const QString& uid, const std::string& path)
{
    m_rootPaths[uid] = path;
    m_fileValues[uid].clear();
}

std::string CRecViewTree::rootPath(const QString& uid) const
{
    auto it = m_rootPaths.find(uid);
    return it == m_rootPaths.end() ? std::string() : it->second;
}

void CRecViewTree::forgetBelow(QTreeWidgetItem* node)
{
    std::vector<int> gone;
    for (const auto& [id, listing] : m_listings)
        for (QTreeWidgetItem* up = listing.node; up; up = up->parent())
            if (up == node) {
                gone.push_back(id);
                break;
            }
    for (int id : gone)
        forget(id);
}

void CRecViewTree::RemoveAllChildren(QTreeWidgetItem* node)
{
    // Listings of the nodes about to go (not of node itself) end with them.
    for (int i = 0; i < node->childCount(); ++i)
        forgetBelow(node->child(i));
    for (QTreeWidgetItem* child : node->takeChildren())
        delete child;
}

void CRecViewTree::forget(int listing)
{
    auto it = m_listings.find(listing);
    if (it == m_listings.end())
        return;
    delete it->second.timer;
    m_listings.erase(it);
}

bool CRecViewTree::OnItemExpanded(QTreeWidgetItem* item)
{
    const int kind = itemData(item);
    if (kind != kFolder && kind != kSubfolder)
        return false;
    QTreeWidgetItem* parent = item->parent();
    const QString uid = kind == kFolder ? (parent ? parent->text(0) : QString())
                                        : (parent && parent->parent() ? parent->parent()->text(0) : QString());
    const std::string root = rootPath(uid);
    const std::string folderPath = kind == kFolder
                                       ? root + "/" + WideToMultiByte(item->text(0)) + "/"
                                       : root + "/" + WideToMultiByte(parent ? parent->text(0) : QString()) + "/" +
                                             WideToMultiByte(item->text(0));
    // A node listed again forgets its earlier listing; its old children (and their listings) go.
    forgetBelow(item);
    RemoveAllChildren(item);
    startListing(item, kind, uid, folderPath);
    return true;
}

void CRecViewTree::startListing(QTreeWidgetItem* node, int kind, const QString& uid, const std::string& folderPath)
{
    const int id = m_nextListing++;
    Listing& listing = m_listings[id];
    listing.uid = uid;
    listing.folderPath = folderPath;
    listing.node = node;
    listing.kind = kind;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = GetDevRecList(WideToMultiByte(uid), RecordFileRequest::ListRequest(folderPath),
                                 [box, id](int, int result, std::string text, std::string, char*, int) {
                                     box->post([id, result, text = std::move(text)](QObject* self) {
                                         static_cast<CRecViewTree*>(self)->OnListReply(id, result, text);
                                     });
                                 });
    if (rc < 0)
        fail(id); // not sent: no answer will come
}

void CRecViewTree::OnListReply(int id, int result, const std::string& text)
{
    auto it = m_listings.find(id);
    if (it == m_listings.end())
        return; // the node was listed again or taken away
    Listing& listing = it->second;
    const std::optional<int> count = RecordFileRequest::ParseListCount(text);
    if (result < 0 || !count) {
        // No answer (time-out) or one that does not parse.
        fail(id);
        return;
    }
    const int n = *count;
    if (n <= 0) {
        forget(id); // an empty folder
        return;
    }
    if (listing.kind == kFolder || n <= kPageSize) {
        RequestRecPage(id, listing.folderPath, 0, n);
        return;
    }
    listing.total = n;
    RequestRecPage(id, listing.folderPath, 0, kPageSize);
    listing.nextStart = kPageSize;
    listing.timer = new QTimer(this);
    connect(listing.timer, &QTimer::timeout, this, [this, id] { OnPageTimer(id); });
    listing.timer->start(m_pageIntervalMs);
}

void CRecViewTree::OnPageTimer(int id)
{
    auto it = m_listings.find(id);
    if (it == m_listings.end())
        return;
    Listing& listing = it->second;
    if (listing.total > listing.nextStart + kPageSize) {
        RequestRecPage(id, listing.folderPath, listing.nextStart, kPageSize);
        listing.nextStart += kPageSize;
        return;
    }
    const int start = listing.nextStart;
    const int count = listing.total - listing.nextStart;
    listing.total = 0;
    listing.nextStart = 0;
    listing.timer->deleteLater();
    listing.timer->stop();
    listing.timer = nullptr;
    RequestRecPage(id, listing.folderPath, start, count);
}

void CRecViewTree::RequestRecPage(int id, const std::string& path, int start, int count)
{
    auto it = m_listings.find(id);
    if (it == m_listings.end())
        return;
    ++it->second.pagesOutstanding;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = GetDevRecPage(WideToMultiByte(it->second.uid), RecordFileRequest::PageRequest(path, start, count),
                                 [box, id](int, int result, std::string text, std::string, char*, int) {
                                     box->post([id, result, text = std::move(text)](QObject* self) {
                                         static_cast<CRecViewTree*>(self)->OnRecPageReply(id, result, text);
                                     });
                                 });
    if (rc < 0)
        OnRecPageReply(id, rc, std::string());
}

void CRecViewTree::OnRecPageReply(int id, int result, const std::string& text)
{
    emit recordPageDone();
    auto it = m_listings.find(id);
    if (it == m_listings.end())
        return;
    Listing& listing = it->second;
    --listing.pagesOutstanding;
    if (result == 0) {
        const std::vector<RecordFileRequest::PageEntry> entries = RecordFileRequest::ParsePage(text);
        std::map<QString, int64_t>& values = m_fileValues[listing.uid];
        for (const RecordFileRequest::PageEntry& entry : entries) {
            const QString name = MultiByteToWide(entry.name);
            values.emplace(name, entry.value); // an existing name keeps its first value
            if (listing.kind == kFolder) {
                QTreeWidgetItem* sub = InsertNode(listing.node, name, kImageFolder, kSubfolder);
                AddPlaceholder(sub);
            } else {
                InsertNode(listing.node, name, kImageFile, kFile);
            }
            listing.inserted = true;
        }
    }
    finishIfDone(id);
}

void CRecViewTree::finishIfDone(int id)
{
    auto it = m_listings.find(id);
    if (it == m_listings.end() || it->second.timer || it->second.pagesOutstanding > 0)
        return;
    if (!it->second.inserted)
        fail(id); // nothing came: the node can be listed again
    else
        forget(id);
}

void CRecViewTree::fail(int id)
{
    auto it = m_listings.find(id);
    if (it == m_listings.end())
        return;
    QTreeWidgetItem* node = it->second.node;
    forget(id);
    if (node && node->childCount() == 0) {
        AddPlaceholder(node);
        node->setExpanded(false);
    }
}

int64_t CRecViewTree::fileValue(const QString& uid, const QString& name) const
{
    auto device = m_fileValues.find(uid);
    if (device == m_fileValues.end())
        return 0;
    auto it = device->second.find(name);
    return it == device->second.end() ? 0 : it->second;
}

int CRecViewTree::GetRecordLength() const
{
    QTreeWidgetItem* item = currentItem();
    if (!item || itemData(item) != kFile)
        return 0;
    return RecordFileRequest::RecordLength(WideToMultiByte(item->text(0)));
}

QString CRecViewTree::DeviceOf(const QTreeWidgetItem* file)
{
    if (!file || itemData(file) != kFile)
        return {};
    const QTreeWidgetItem* sub = file->parent();
    const QTreeWidgetItem* folder = sub ? sub->parent() : nullptr;
    const QTreeWidgetItem* device = folder ? folder->parent() : nullptr;
    return device ? device->text(0) : QString();
}

std::string CRecViewTree::FilePath(const QTreeWidgetItem* file) const
{
    if (!file || itemData(file) != kFile || !file->parent() || !file->parent()->parent())
        return {};
    const QTreeWidgetItem* sub = file->parent();
    const QTreeWidgetItem* folder = sub->parent();
    return rootPath(DeviceOf(file)) + "/" + WideToMultiByte(folder->text(0)) + "/" + WideToMultiByte(sub->text(0)) + "/" +
           WideToMultiByte(file->text(0));
}

void CRecViewTree::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeWidget::mouseDoubleClickEvent(event); // expands or collapses first
    QTreeWidgetItem* item = currentItem();
    if (!item || !item->parent() || itemData(item) != kFile || !m_frame)
        return;
    m_frame->PlayRemoteRecord(DeviceOf(item), MultiByteToWide(FilePath(item)), GetRecordLength());
}
