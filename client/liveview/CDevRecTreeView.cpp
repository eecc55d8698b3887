#include "CDevRecTreeView.h"

#include "CornerPopup.h"

#include "CRecViewTree.h"
#include "ClientPaths.h"
#include "DeviceDatabases.h"
#include "GuiMailbox.h"
#include "LangText.h"
#include "MainFrame.h"
#include "RecordFileRequest.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>

namespace {

constexpr int kDownloadBarHeight = 18;

// The desktop alert of a download's state: a frameless window at the bottom right of the screen
// that fades in, stays 3000 ms, fades out and deletes itself. No icon, no link.
class DownloadAlert : public QWidget {
public:
    static constexpr int kAutoCloseMs = 3000;
    static constexpr int kFadeMs = 80;

    DownloadAlert(const QString& text, QWidget* over)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
    {
        setObjectName(QStringLiteral("DownloadAlert"));
        setAttribute(Qt::WA_DeleteOnClose);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAutoFillBackground(true);
        QPalette pal = palette();
        pal.setColor(QPalette::Window, QColor(238, 244, 252));
        setPalette(pal);
        auto* label = new QLabel(text, this);
        label->setObjectName(QStringLiteral("DownloadAlertText"));
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(18, 16, 18, 16);
        layout->addWidget(label);
        setMinimumSize(260, 70);
        setStyleSheet(QStringLiteral("DownloadAlert { border: 1px solid rgb(120, 150, 200); }"));
        showInScreenCorner(this, over, kFadeMs, 180.0 / 255.0);
        QTimer::singleShot(kAutoCloseMs, this, [this] { close(); });
    }
};

} // namespace

CDevRecTreeView::CDevRecTreeView(CMainFrame* frame, QWidget* parent)
    : QWidget(parent), m_frame(frame), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("CDevRecTreeView"));
    m_tree = new CRecViewTree(this);
    m_tree->setFrame(frame);
    m_tree->setProperty("controlId", 4);
    connect(m_tree, &CRecViewTree::expansionForParent, this, [this](QTreeWidgetItem* item) { OnItemExpanded(item); });
    connect(m_tree, &CRecViewTree::recordPageDone, this, [this] {
        if (m_listings.empty())
            stopBusy();
    });
    m_tree->setContextMenuPolicy(Qt::NoContextMenu); // the pane shows the record menu
    setFocusProxy(m_tree);

    m_strip = new QProgressBar(this);
    m_strip->setObjectName(QStringLiteral("RecordBusyStrip"));
    m_strip->setProperty("controlId", 5);
    m_strip->setRange(0, 4);
    m_strip->setValue(0);
    m_strip->setTextVisible(false);

    m_downloadBar = new QProgressBar(this);
    m_downloadBar->setObjectName(QStringLiteral("DownloadProgress"));
    m_downloadBar->setRange(0, 100);
    m_downloadBar->hide();

    m_busyTimer = new QTimer(this);
    m_busyTimer->setInterval(100);
    connect(m_busyTimer, &QTimer::timeout, this, [this] { OnBusyTimer(); });
    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(500);
    connect(m_progressTimer, &QTimer::timeout, this, [this] { pollDownloads(); });
    m_stateTimer = new QTimer(this);
    m_stateTimer->setInterval(1000);
    connect(m_stateTimer, &QTimer::timeout, this, [this] { OnDeviceStateTimer(); });

    AdjustLayout();
    LoadDevices();
}

CDevRecTreeView::~CDevRecTreeView()
{
    m_mailbox->close();
}

void CDevRecTreeView::setTimerIntervals(int busyMs, int progressMs, int stateMs)
{
    m_busyTimer->setInterval(busyMs);
    m_progressTimer->setInterval(progressMs);
    m_stateTimer->setInterval(stateMs);
}

bool CDevRecTreeView::busy() const
{
    return m_busyTimer->isActive();
}

void CDevRecTreeView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    AdjustLayout();
}

void CDevRecTreeView::AdjustLayout()
{
    const int w = width();
    const int bar = m_downloadBar->isVisible() ? kDownloadBarHeight : 0;
    m_strip->setGeometry(0, 0, w, kStripHeight);
    m_tree->setGeometry(0, kStripHeight, w, std::max(0, height() - kStripHeight - bar));
    m_downloadBar->setGeometry(0, height() - bar, w, bar);
}

QTreeWidgetItem* CDevRecTreeView::root() const
{
    return m_tree->topLevelItemCount() > 0 ? m_tree->topLevelItem(0) : nullptr;
}

QTreeWidgetItem* CDevRecTreeView::ensureRoot()
{
    if (QTreeWidgetItem* r = root())
        return r;
    auto* r = new QTreeWidgetItem(m_tree, QStringList{LangText("MainFrame", "DevTreeName")});
    CRecViewTree::setImage(r, CRecViewTree::kImageOnline);
    CRecViewTree::setItemData(r, CRecViewTree::kRoot);
    r->setExpanded(true);
    return r;
}

QTreeWidgetItem* CDevRecTreeView::insertDevice(const QString& uid)
{
    QTreeWidgetItem* node = CRecViewTree::InsertNode(ensureRoot(), uid, CRecViewTree::kImageOffline, CRecViewTree::kDevice);
    CRecViewTree::AddPlaceholder(node);
    return node;
}

QTreeWidgetItem* CDevRecTreeView::deviceNode(const QString& uid) const
{
    QTreeWidgetItem* r = root();
    if (!r)
        return nullptr;
    for (int i = 0; i < r->childCount(); ++i)
        if (r->child(i)->text(0) == uid)
            return r->child(i);
    return nullptr;
}

void CDevRecTreeView::LoadDevices()
{
    const QString folder = DataFolder();
    if (!DevInfoTable::exists(folder))
        return;
    ensureRoot();
    for (const DevInfoRow& row : DevInfoTable::load(folder, nullptr, DevInfoTable::kGuiBusyTimeoutMs))
        insertDevice(row.uid);
    root()->setExpanded(true);
    m_stateTimer->start();
}

void CDevRecTreeView::AddDeviceNode(const QString& uid)
{
    ensureRoot();
    if (deviceNode(uid))
        return;
    insertDevice(uid);
    root()->setExpanded(true);
    // Devices added after start-up (none stored then) follow their state as well.
    if (!m_stateTimer->isActive())
        m_stateTimer->start();
}

void CDevRecTreeView::OnDeviceStateTimer()
{
    QTreeWidgetItem* r = root();
    if (!r)
        return;
    for (int i = 0; i < r->childCount(); ++i) {
        QTreeWidgetItem* node = r->child(i);
        CRecViewTree::setImage(node, LoginState(WideToMultiByte(node->text(0))) != 0 ? CRecViewTree::kImageOnline
                                                                                     : CRecViewTree::kImageOffline);
    }
}

void CDevRecTreeView::OnItemExpanded(QTreeWidgetItem* item)
{
    if (!item || item->parent() != root() || CRecViewTree::itemData(item) != CRecViewTree::kDevice)
        return;
    const QString uid = item->text(0);
    if (LoginState(WideToMultiByte(uid)) == 0)
        return; // offline: keeps its placeholder; expanding it later lists it
    m_tree->RemoveAllChildren(item);
    CRecViewTree::setItemData(item, CRecViewTree::kDeviceListed);
    RequestRecordPath(uid);
}

bool CDevRecTreeView::listingCurrent(const QString& uid, int serial) const
{
    auto it = m_listings.find(uid);
    return it != m_listings.end() && it->second == serial;
}

void CDevRecTreeView::RequestRecordPath(const QString& uid)
{
    const int serial = m_nextSerial++;
    m_listings[uid] = serial;
    startBusy();
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = GetDevRecPath(WideToMultiByte(uid), [box, uid, serial](int, int result, std::string text, std::string, char*, int) {
        box->post([uid, serial, result, text = std::move(text)](QObject* self) {
            static_cast<CDevRecTreeView*>(self)->OnRecordPath(uid, serial, result, text);
        });
    });
    if (rc < 0)
        OnRecordPath(uid, serial, rc, std::string());
}

void CDevRecTreeView::OnRecordPath(const QString& uid, int serial, int result, const std::string& text)
{
    if (!listingCurrent(uid, serial))
        return;
    const std::optional<std::string> path = result < 0 ? std::nullopt : RecordFileRequest::ParseRecordPath(text);
    if (!path || path->empty()) { // no answer, a refusal, or no card to list
        endListing(uid, true);
        return;
    }
    m_tree->SetRootPath(uid, *path);
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = GetDevRecList(WideToMultiByte(uid), RecordFileRequest::ListRequest(*path),
                                 [box, uid, serial](int, int r, std::string t, std::string, char*, int) {
                                     box->post([uid, serial, r, t = std::move(t)](QObject* self) {
                                         static_cast<CDevRecTreeView*>(self)->OnRecordList(uid, serial, r, t);
                                     });
                                 });
    if (rc < 0)
        OnRecordList(uid, serial, rc, std::string());
}

void CDevRecTreeView::OnRecordList(const QString& uid, int serial, int result, const std::string& text)
{
    if (!listingCurrent(uid, serial))
        return;
    const std::optional<int> n = result < 0 ? std::nullopt : RecordFileRequest::ParseListCount(text);
    if (!n) {
        endListing(uid, true);
        return;
    }
    if (*n <= 0) {
        endListing(uid, false); // an empty card: listed, no folders
        return;
    }
    // All of the root folder in one page.
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = GetDevRecPage(WideToMultiByte(uid), RecordFileRequest::PageRequest(m_tree->rootPath(uid), 0, *n),
                                 [box, uid, serial](int, int r, std::string t, std::string, char*, int) {
                                     box->post([uid, serial, r, t = std::move(t)](QObject* self) {
                                         static_cast<CDevRecTreeView*>(self)->OnRecordPage(uid, serial, r, t);
                                     });
                                 });
    if (rc < 0)
        OnRecordPage(uid, serial, rc, std::string());
}

void CDevRecTreeView::OnRecordPage(const QString& uid, int serial, int result, const std::string& text)
{
    if (!listingCurrent(uid, serial))
        return;
    QTreeWidgetItem* node = deviceNode(uid);
    const std::vector<RecordFileRequest::PageEntry> entries =
        result < 0 ? std::vector<RecordFileRequest::PageEntry>() : RecordFileRequest::ParsePage(text);
    if (node)
        for (const RecordFileRequest::PageEntry& entry : entries) {
            QTreeWidgetItem* folder =
                CRecViewTree::InsertNode(node, MultiByteToWide(entry.name), CRecViewTree::kImageFolder, CRecViewTree::kFolder);
            CRecViewTree::AddPlaceholder(folder);
        }
    endListing(uid, entries.empty());
}

void CDevRecTreeView::endListing(const QString& uid, bool failed)
{
    m_listings.erase(uid);
    if (m_listings.empty())
        stopBusy();
    if (!failed)
        return;
    // Nothing was listed: the node goes back to "not listed" with its expand button.
    if (QTreeWidgetItem* node = deviceNode(uid); node && node->childCount() == 0) {
        CRecViewTree::setItemData(node, CRecViewTree::kDevice);
        CRecViewTree::AddPlaceholder(node);
        node->setExpanded(false);
    }
}

void CDevRecTreeView::startBusy()
{
    m_busyPosition = 1;
    m_strip->setProperty("marquee", true);
    m_busyTimer->start();
}

void CDevRecTreeView::stopBusy()
{
    m_busyTimer->stop();
    m_strip->setProperty("marquee", false);
    m_busyPosition = 0;
    m_strip->setValue(0);
}

void CDevRecTreeView::OnBusyTimer()
{
    m_strip->setValue(m_busyPosition);
    m_busyPosition = m_busyPosition % 4 + 1;
}

QTreeWidgetItem* CDevRecTreeView::selectedFile() const
{
    QTreeWidgetItem* item = m_tree->currentItem();
    if (!item || item == root() || CRecViewTree::itemData(item) != CRecViewTree::kFile)
        return nullptr;
    return item;
}

void CDevRecTreeView::OnPlayRecord()
{
    QTreeWidgetItem* file = selectedFile();
    if (!file)
        return;
    const QString uid = CRecViewTree::DeviceOf(file);
    if (GetPlayStateMask(WideToMultiByte(uid)) & kRecordStreamBit)
        return;
    const int length = RecordFileRequest::RecordLength(WideToMultiByte(file->text(0)));
    if (m_frame)
        m_frame->PlayRemoteRecord(uid, MultiByteToWide(m_tree->FilePath(file)), length);
}

void CDevRecTreeView::OnStartDownload()
{
    QTreeWidgetItem* file = selectedFile();
    if (!file)
        return;
    const QString uid = CRecViewTree::DeviceOf(file);
    const QString name = file->text(0);
    const int64_t expected = m_tree->fileValue(uid, name);
    const std::string device = WideToMultiByte(uid);
    if (GetPlayStateMask(device) & kRecordStreamBit)
        return;
    Download download;
    download.path = m_tree->FilePath(file);
    download.name = name;
    download.expected = expected;
    m_downloads[uid] = download;
    m_lastDownloadUid = uid;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const int rc = DownloadRecFile(
        device, RecordFileRequest::Build(RecordFileRequest::kDownload, download.path, device, std::nullopt, WideToMultiByte(name)),
        [box, uid](int, int result, std::string text, std::string, char*, int) {
            // A device may refuse in its answer's text with a result of 0.
            const int accepted = RecordFileRequest::Accepted(result, text) ? 0 : (result != 0 ? result : -1);
            box->post([uid, accepted](QObject* self) { static_cast<CDevRecTreeView*>(self)->OnDownloadReply(uid, accepted); });
        });
    if (rc < 0)
        OnDownloadReply(uid, rc);
}

void CDevRecTreeView::OnDownloadReply(const QString& uid, int result)
{
    auto it = m_downloads.find(uid);
    if (result != 0) {
        if (it != m_downloads.end())
            m_downloads.erase(it);
        showAlert(kDownloadFailed);
        return;
    }
    if (it != m_downloads.end()) {
        it->second.accepted = true;
        it->second.running = true;
        it->second.progress = 0;
    }
    showAlert(kDownloadStarted);
    if (uid == m_lastDownloadUid) {
        m_downloadBar->setValue(0);
        m_downloadBar->setFormat(QStringLiteral("%1  %p%").arg(it != m_downloads.end() ? it->second.name : QString()));
        m_downloadBar->show();
        AdjustLayout();
    }
    m_progressTimer->start();
}

void CDevRecTreeView::pollDownloads()
{
    bool running = false;
    for (auto& [uid, download] : m_downloads) {
        if (!download.running)
            continue;
        const std::string device = WideToMultiByte(uid);
        const bool streaming = (GetPlayStateMask(device) & kRecordStreamBit) != 0;
        const uint64_t written = static_cast<uint64_t>(std::max<int64_t>(0, GetDloadSize(device)));
        if (download.expected > 0) {
            // At least the expected size is complete (unsigned comparison, as the size value is).
            const uint64_t expected = static_cast<uint64_t>(download.expected);
            download.progress = written >= expected ? 100 : static_cast<int>(written * 100 / expected);
        }
        if (!streaming)
            download.running = false; // ended: the last figure stays
        running = running || download.running;
        if (uid == m_lastDownloadUid)
            m_downloadBar->setValue(download.progress);
    }
    if (!running)
        m_progressTimer->stop();
}

int CDevRecTreeView::downloadProgress(const QString& uid) const
{
    auto it = m_downloads.find(uid);
    return it == m_downloads.end() ? -1 : it->second.progress;
}

void CDevRecTreeView::OnStopDownload()
{
    // The device of the selected recording when it has a download, else the last one started.
    QString uid = m_lastDownloadUid;
    if (QTreeWidgetItem* file = selectedFile()) {
        const QString selected = CRecViewTree::DeviceOf(file);
        if (m_downloads.count(selected))
            uid = selected;
    }
    auto it = m_downloads.find(uid);
    const std::string path = it == m_downloads.end() ? std::string() : it->second.path;
    const std::string device = WideToMultiByte(uid);
    StopDownloadFile(device, RecordFileRequest::Build(RecordFileRequest::kEnd, path, device),
                     [](int, int, std::string, std::string, char*, int) {});
    pollDownloads();
}

void CDevRecTreeView::OnDownloadState(int state)
{
    showAlert(state);
    if (state != kDownloadStarted)
        pollDownloads();
}

QString CDevRecTreeView::AlertText(int state)
{
    switch (state) {
    case kDownloadStarted:
        return LangText("DevRecMenu", "DloadBegin");
    case kDownloadFinished:
        return LangText("DevRecMenu", "DloadEnd");
    default:
        return LangText("DevRecMenu", "DloadError");
    }
}

void CDevRecTreeView::showAlert(int state)
{
    ++m_alerts;
    m_lastAlert = AlertText(state);
    new DownloadAlert(m_lastAlert, m_frame ? static_cast<QWidget*>(m_frame) : this);
}

bool CDevRecTreeView::IsCommandEnabled(int id) const
{
    QTreeWidgetItem* item = m_tree->currentItem();
    if (!item || item == root())
        return false;
    const int level = CRecViewTree::itemData(item);
    if (level == CRecViewTree::kFolder || level == CRecViewTree::kSubfolder)
        return false;
    // The third parent's text; none (a device node) reads as no record stream.
    const QTreeWidgetItem* up = item->parent() && item->parent()->parent() ? item->parent()->parent()->parent() : nullptr;
    const bool streaming = up && (GetPlayStateMask(WideToMultiByte(up->text(0))) & kRecordStreamBit);
    switch (id) {
    case ID_REC_PLAY:
    case ID_REC_DLOAD:
        return !streaming;
    case ID_REC_END_DLOAD:
        return streaming;
    default:
        return false;
    }
}

QMenu* CDevRecTreeView::CreateContextMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("RecordMenu"));
    struct Item {
        int id;
        const char* key;
        void (CDevRecTreeView::*handler)();
    };
    for (const Item& item : {Item{ID_REC_PLAY, "RecPlay", &CDevRecTreeView::OnPlayRecord},
                             Item{ID_REC_DLOAD, "RecDload", &CDevRecTreeView::OnStartDownload},
                             Item{ID_REC_END_DLOAD, "RecEndDload", &CDevRecTreeView::OnStopDownload}}) {
        QAction* action = menu->addAction(LangText("DevRecMenu", item.key));
        action->setData(item.id);
        action->setEnabled(IsCommandEnabled(item.id));
        const auto handler = item.handler;
        connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    }
    return menu;
}

void CDevRecTreeView::contextMenuEvent(QContextMenuEvent* event)
{
    if (!m_tree->geometry().contains(event->pos())) {
        QWidget::contextMenuEvent(event);
        return;
    }
    if (event->reason() == QContextMenuEvent::Mouse) {
        const QPoint inTree = m_tree->viewport()->mapFrom(this, event->pos());
        if (QTreeWidgetItem* hit = m_tree->itemAt(inTree))
            m_tree->setCurrentItem(hit);
    }
    m_tree->setFocus();
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}
