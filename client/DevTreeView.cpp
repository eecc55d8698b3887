#include "DevTreeView.h"

#include "CResetPADlg.h"
#include "ClientDatabase.h"
#include "ClientMessageBox.h"
#include "DevSearchDlg.h"
#include "DeviceDatabases.h"
#include "FrameText.h"
#include "GuiMailbox.h"
#include "LoginWorkers.h"
#include "MainFrame.h"
#include "ViewTree.h"
#include "libLumora.h"
#include "settings/DevicePage.h"
#include "settings/SettingsJson.h"
#include "settings/DevicePages.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>
#include <json/json.h>
#include <memory>

namespace {

std::string narrow(const QString& text)
{
    return text.toStdString();
}

void ignoreReply(int, int, std::string, std::string, char*, int) {}

struct MenuEntry {
    int id;
    const char* key;
};

const MenuEntry kMenu[] = {
    {CDevTreeView::ID_SEARCH_DEV, "SearchDev"},       {CDevTreeView::ID_DEV_DEL, "DevDel"},
    {CDevTreeView::ID_DEV_ALL_DEL, "DevAllDel"},      {CDevTreeView::ID_DEV_RELOGIN, "DevReLogin"},
    {CDevTreeView::ID_DEV_REBOOT, "DevReboot"},       {CDevTreeView::ID_DEV_DEFAULT, "DevDefault"},
    {CDevTreeView::ID_DEV_INFO_MODIFY, "DevInfoModify"}, {CDevTreeView::ID_DEV_MOBILE, "DevMobile"},
    {CDevTreeView::ID_DEV_50HZ, "Dev50HZ"},           {CDevTreeView::ID_DEV_60HZ, "Dev60HZ"},
    {CDevTreeView::ID_IRCUT_POSITIVE, "IRCutPositive"}, {CDevTreeView::ID_IRCUT_REVERSE, "IRCutReverse"},
    {CDevTreeView::ID_DEV_INDOOR, "DevIndoor"},       {CDevTreeView::ID_DEV_OUTDOOR, "DevOutdoor"},
    {CDevTreeView::ID_DEV_HORIZONTAL, "DevHorizontal"}, {CDevTreeView::ID_DEV_VERTICAL, "DevVertical"},
};

// The device pages the menu opens on their own, under "DevSettings"; each command id is the
// page's dialog id.
const MenuEntry kPageMenu[] = {
    {DevicePageId::Net, "DevNet"},          {DevicePageId::Wireless, "DevWireless"}, {DevicePageId::Time, "DevTime"},
    {DevicePageId::Rec, "DevRec"},          {DevicePageId::Alarm, "DevAlarm"},       {DevicePageId::Osd, "DevOSD"},
    {DevicePageId::Info, "DevInfo"},        {DevicePageId::Video, "DevVideo"},       {DevicePageId::Ftp, "DevFTP"},
    {DevicePageId::ColorSwitch, "DevColorSwitch"}, {DevicePageId::Color, "DevColor"}, {DevicePageId::Denoise, "DevDenoise"},
    {DevicePageId::Wdr, "DevWDR"},          {DevicePageId::P2PServer, "DevP2PServer"},
};

} // namespace

CDevTreeView::CDevTreeView(CMainFrame* frame, QWidget* parent)
    : QWidget(parent), m_frame(frame), m_mailbox(GuiMailbox::create(this)), m_logins(std::make_unique<LoginWorkers>()),
      m_tree(new CViewTree(this))
{
    setObjectName(QStringLiteral("DevTreePane"));
    m_tree->setFrame(frame);
    m_tree->setLoginWorkers(m_logins.get());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 1, 0, 1);
    layout->addWidget(m_tree);
    confirm = [this](const QString& text) {
        return QMessageBox::question(this, QApplication::applicationDisplayName(), text,
                                     QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };
}

CDevTreeView::~CDevTreeView()
{
    m_mailbox->close();
    m_bClosing = true;
    m_logins->stop();
    m_logins.reset(); // joins the login threads before the tree goes
}

QTreeWidgetItem* CDevTreeView::ensureRoot(const QString& text)
{
    if (QTreeWidgetItem* r = m_tree->root())
        return r;
    auto* r = new QTreeWidgetItem(m_tree, {text});
    CViewTree::setImage(r, CViewTree::Online);
    CViewTree::setLoggedIn(r, false);
    r->setExpanded(true);
    return r;
}

QTreeWidgetItem* CDevTreeView::addDeviceNode(const QString& uid, const QString& mac, const QString& alias)
{
    QTreeWidgetItem* r = m_tree->root();
    auto* node = new QTreeWidgetItem(r, {uid});
    CViewTree::setImage(node, CViewTree::Offline);
    CViewTree::setLoggedIn(node, false);
    for (const QString& text : {mac, alias}) {
        auto* detail = new QTreeWidgetItem(node, {text});
        CViewTree::setImage(detail, CViewTree::Detail);
    }
    r->setExpanded(true);
    return node;
}

void CDevTreeView::LoadDevices()
{
    const std::optional<std::vector<DevInfoRow>> rows = loadStoredDevices();
    if (!rows)
        return;
    ensureRoot(LangText("MainFrame", "DevTreeName"));
    int delay = 0;
    for (const DevInfoRow& row : *rows) {
        addDeviceNode(row.uid, row.mac, row.alias);
        if (m_bClosing)
            break;
        startLogin(row.uid, row.password, delay, false);
        delay += kLoginSpacingMs;
    }
}

std::optional<std::vector<DevInfoRow>> CDevTreeView::loadStoredDevices()
{
    // The GUI thread must not sit in SQLite's busy handler while another program holds the file;
    // a file that does not read through is kept aside untouched and the user goes on.
    const QString file = DevInfoTable::path(DataDir());
    auto tell = [this](const QString& text) {
        QMetaObject::invokeMethod(this, [this, text] { ShowMessage(window(), text); }, Qt::QueuedConnection);
    };
    switch (CheckDatabaseFile(file, DevInfoTable::kGuiBusyTimeoutMs)) {
    case DatabaseHealth::Missing:
        return std::nullopt;
    case DatabaseHealth::Busy:
        tell(LangText("DataFile", "Busy").arg(QDir::toNativeSeparators(file)));
        return std::nullopt;
    case DatabaseHealth::Damaged: {
        std::vector<DevInfoRow> rows = DevInfoTable::load(DataDir(), nullptr, DevInfoTable::kGuiBusyTimeoutMs);
        const QString aside = SetDamagedFileAside(file);
        if (!aside.isEmpty() && !rows.empty())
            DevInfoTable::store(DataDir(), rows); // what could be read lives on in a fresh file
        tell(LangText("DataFile", "Damaged")
                 .arg(QDir::toNativeSeparators(file), QDir::toNativeSeparators(aside.isEmpty() ? file : aside)));
        if (rows.empty())
            return std::nullopt;
        return rows;
    }
    case DatabaseHealth::Ok:
        break;
    }
    return DevInfoTable::load(DataDir(), nullptr, DevInfoTable::kGuiBusyTimeoutMs);
}

void CDevTreeView::AddDevice(const QString& uid, const QString& mac, const QString& alias, const QString& password)
{
    if (m_tree->findDevice(uid))
        return;
    ensureRoot(LangText("MainFrame", "DevTreeName"));
    addDeviceNode(uid, mac, alias);
    startLogin(uid, password, 0, false);
}

void CDevTreeView::startLogin(const QString& uid, const QString& password, int delayMs, bool relogin)
{
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    const std::string id = narrow(uid);
    const std::string pw = narrow(password);
    m_logins->start(
        [box, id, pw, relogin] {
            LoginDev(id, pw, [box, relogin](int, int result, std::string text, std::string who, char*, int) {
                box->post([result, text = std::move(text), who = std::move(who), relogin](QObject* self) {
                    auto* pane = static_cast<CDevTreeView*>(self);
                    if (relogin)
                        pane->OnReloginResult(result, text, who);
                    else
                        pane->OnLoginResult(result, text, who);
                });
            });
        },
        delayMs);
}

void CDevTreeView::cacheReply(const std::string& uid, const std::string& reply)
{
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    m_replyCache.emplace(uid, reply); // the first reply stays
}

void CDevTreeView::showPasswordError(const QString& uid)
{
    QPointer<QMessageBox>& open = m_passwordBoxes[uid];
    if (open)
        return; // one box per device at a time
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Warring"),
                                uid + QLatin1Char(' ') + LangText("DevTree", "PAError"), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("PasswordErrorBox"));
    open = box;
    box->open();
}

void CDevTreeView::OnLoginResult(int status, const std::string& reply, const std::string& uid)
{
    const QString id = QString::fromStdString(uid);
    if (status == 0) {
        if (QTreeWidgetItem* node = m_tree->findDevice(id)) {
            CViewTree::setImage(node, CViewTree::Online);
            CViewTree::setLoggedIn(node, true);
        }
        cacheReply(uid, reply);
    } else if (status == -100) {
        showPasswordError(id);
    }
}

void CDevTreeView::OnReloginResult(int status, const std::string&, const std::string& uid)
{
    const QString id = QString::fromStdString(uid);
    if (status == 0) {
        if (QTreeWidgetItem* node = m_tree->findDevice(id)) {
            CViewTree::setImage(node, CViewTree::Online);
            CViewTree::setLoggedIn(node, true);
        }
    } else if (status == -100) {
        showPasswordError(id);
    }
}

void CDevTreeView::LogoutAllDevices()
{
    m_bClosing = true;
    m_logins->stop();
    QTreeWidgetItem* r = m_tree->root();
    if (!r)
        return;
    for (int i = 0; i < r->childCount(); ++i)
        if (CViewTree::loggedIn(r->child(i)) == 1)
            LogoutDev(narrow(r->child(i)->text(0)));
}

void CDevTreeView::UpdateDeviceState(int state, const QString& uid, const std::string& text)
{
    if (state == 2)
        cacheReply(narrow(uid), text);
    QTreeWidgetItem* node = m_tree->findDevice(uid);
    if (!node)
        return;
    if (state == CViewTree::loggedIn(node) + 1)
        return;
    if (state == 1) {
        CViewTree::setImage(node, CViewTree::Offline);
        CViewTree::setLoggedIn(node, false);
    } else if (state == 2) {
        CViewTree::setImage(node, CViewTree::Online);
        CViewTree::setLoggedIn(node, true);
    }
}

QString CDevTreeView::GetDeviceVersion(const QString& uid) const
{
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        auto it = m_replyCache.find(narrow(uid));
        if (it == m_replyCache.end())
            return {};
        reply = it->second;
    }
    // The reply came from the device: read it through the parser that refuses deep nesting and
    // never throws.
    const std::optional<Json::Value> root = ParseDeviceText(reply);
    if (!root)
        return {};
    const Json::Value& info = MemberObject(*root, "dev_info");
    if (!HasString(info, "dev_ver"))
        return {};
    return MemberText(info, "dev_ver");
}

void CDevTreeView::SelectDevice(const QString& uid)
{
    if (QTreeWidgetItem* node = m_tree->findDevice(uid))
        m_tree->setCurrentItem(node);
}

void CDevTreeView::InsertDeviceItem(const QString& uid, const QString& alias)
{
    QTreeWidgetItem* node = m_tree->findDevice(uid);
    if (!node || node->childCount() < 2)
        return;
    delete node->takeChild(1);
    auto* row = new QTreeWidgetItem(node, {alias});
    CViewTree::setImage(row, CViewTree::Detail);
}

QString CDevTreeView::currentUid() const
{
    QTreeWidgetItem* item = m_tree->currentItem();
    return item ? item->text(0) : QString();
}

void CDevTreeView::OnSearchDevice()
{
    if (!m_searchDlg) {
        m_searchDlg = new DevSearchDlg(this, this);
        if (m_frame)
            connect(m_searchDlg, &DevSearchDlg::deviceStored, m_frame, &CMainFrame::OnDeviceStored);
    }
    m_searchDlg->show();
    m_searchDlg->raise();
    if (QWidget* w = window()) {
        const QRect g = w->frameGeometry();
        m_searchDlg->move(g.center() - m_searchDlg->rect().center());
    }
}

bool CDevTreeView::IsCommandEnabled(int id) const
{
    QTreeWidgetItem* sel = m_tree->currentItem();
    QTreeWidgetItem* r = m_tree->root();
    switch (id) {
    case ID_SEARCH_DEV:
        return true;
    case ID_DEV_DEL:
        // A device node only: delete on the root would take the root's text as a UID.
        return sel && sel != r && sel->childCount() > 0;
    case ID_DEV_ALL_DEL:
        return sel && sel->childCount() > 0;
    case ID_DEV_RELOGIN:
        return sel && sel != r && LoginState(narrow(sel->text(0))) == 0;
    default:
        return sel && sel != r && LoginState(narrow(sel->text(0))) != 0;
    }
}

QMenu* CDevTreeView::CreateContextMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("DevListMenu"));
    auto add = [this](QMenu* to, const MenuEntry& entry) {
        QAction* action = to->addAction(LangText("DevListMenu", entry.key));
        action->setData(entry.id);
        action->setEnabled(IsCommandEnabled(entry.id));
        const int id = entry.id;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
    };
    for (const MenuEntry& entry : kMenu)
        add(menu, entry);
    QMenu* pages = menu->addMenu(LangText("DevListMenu", "DevSettings"));
    pages->setObjectName(QStringLiteral("DevSettingsMenu"));
    for (const MenuEntry& entry : kPageMenu)
        add(pages, entry);
    return menu;
}

void CDevTreeView::contextMenuEvent(QContextMenuEvent* event)
{
    if (event->reason() == QContextMenuEvent::Mouse) {
        const QPoint local = m_tree->viewport()->mapFrom(this, event->pos());
        if (QTreeWidgetItem* item = m_tree->itemAt(local))
            m_tree->setCurrentItem(item);
    }
    m_tree->setFocus();
    std::unique_ptr<QMenu> menu(CreateContextMenu());
    menu->exec(event->globalPos());
}

void CDevTreeView::RunCommand(int id)
{
    if (!IsCommandEnabled(id))
        return;
    switch (id) {
    case ID_SEARCH_DEV:
        OnSearchDevice();
        break;
    case ID_DEV_DEL:
        OnDeleteDevice();
        break;
    case ID_DEV_ALL_DEL:
        OnDeleteAllDevices();
        break;
    case ID_DEV_RELOGIN:
        OnRelogin();
        break;
    case ID_DEV_REBOOT:
        OnReboot();
        break;
    case ID_DEV_DEFAULT:
        OnRestoreDefault();
        break;
    case ID_DEV_INFO_MODIFY:
    case ID_DEV_MOBILE:
        OpenSettingsDialog(id);
        break;
    default:
        if (id < ID_SEARCH_DEV)
            OpenSettingsDialog(id); // a device page, by its dialog id
        else
            OnOneClick(id);
        break;
    }
}

void CDevTreeView::OnDeleteDevice()
{
    if (!confirm(LangText("DevTree", "BeDel")))
        return;
    QTreeWidgetItem* item = m_tree->currentItem();
    if (!item || item == m_tree->root() || item->childCount() == 0)
        return;
    const QString uid = item->text(0);
    if (GetPlayStateMask(narrow(uid)) != 0 && m_frame)
        m_frame->CloseDeviceVideo(uid);
    LogoutDev(narrow(uid));
    delete item;
    DevInfoTable::remove(DataDir(), uid);
}

void CDevTreeView::OnDeleteAllDevices()
{
    if (!confirm(LangText("DevTree", "BeAllDel")))
        return;
    if (QTreeWidgetItem* r = m_tree->root())
        for (int i = 0; i < r->childCount(); ++i)
            LogoutDev(narrow(r->child(i)->text(0)));
    m_tree->clear();
    DevInfoTable::removeFile(DataDir());
}

void CDevTreeView::OnRelogin()
{
    const QString uid = currentUid();
    // On a login thread: the GUI thread never waits for the connect.
    startLogin(uid, DevInfoTable::password(DataDir(), uid), 0, true);
}

void CDevTreeView::OnReboot()
{
    const QString uid = currentUid();
    if (GetPlayStateMask(narrow(uid)) != 0 && m_frame && m_frame->activeViewMode() == CMainFrame::LiveView)
        m_frame->CloseDeviceVideo(uid);
    Reboot(narrow(uid), ignoreReply);
}

void CDevTreeView::OnRestoreDefault()
{
    SetDefault(narrow(currentUid()), ignoreReply);
}

std::string CDevTreeView::OneClickJson(int id)
{
    Json::Value v(Json::objectValue);
    switch (id) {
    case ID_DEV_50HZ:
    case ID_DEV_60HZ:
        v["Enable"] = true;
        v["Frequency"] = id == ID_DEV_50HZ ? 1 : 0;
        v["Mode"] = 0;
        break;
    case ID_IRCUT_POSITIVE:
    case ID_IRCUT_REVERSE:
        v["SetOppose"] = id == ID_IRCUT_POSITIVE;
        v["IRCutVal"] = 2;
        break;
    case ID_DEV_INDOOR:
    case ID_DEV_OUTDOOR:
        v["Mode"] = id == ID_DEV_INDOOR ? 0 : 1;
        break;
    case ID_DEV_HORIZONTAL:
    case ID_DEV_VERTICAL:
        v["Vich"] = 0;
        v["Mirror"] = id == ID_DEV_HORIZONTAL;
        v["Flip"] = id == ID_DEV_VERTICAL;
        break;
    default:
        return {};
    }
    return Json::FastWriter().write(v);
}

void CDevTreeView::OnOneClick(int id)
{
    const std::string json = OneClickJson(id);
    const std::string uid = narrow(currentUid());
    switch (id) {
    case ID_DEV_50HZ:
    case ID_DEV_60HZ:
        SetAntiFilicker(uid, json, ignoreReply);
        break;
    case ID_IRCUT_POSITIVE:
    case ID_IRCUT_REVERSE:
        SetIRCut(uid, json, ignoreReply);
        break;
    case ID_DEV_INDOOR:
    case ID_DEV_OUTDOOR:
        SetInOutDoor(uid, json, ignoreReply);
        break;
    case ID_DEV_HORIZONTAL:
    case ID_DEV_VERTICAL:
        SetMirrorFlip(uid, json, ignoreReply);
        break;
    default:
        break;
    }
}

DevicePageDialog* CDevTreeView::pageDialog(int dialogId) const
{
    auto it = m_pageDialogs.find(dialogId);
    return it == m_pageDialogs.end() ? nullptr : it->second;
}

void CDevTreeView::OpenSettingsDialog(int id)
{
    const QString uid = currentUid();
    if (id == ID_DEV_INFO_MODIFY) {
        if (!m_resetDlg) {
            m_resetDlg = new CResetPADlg(this);
            connect(m_resetDlg, &CResetPADlg::aliasChanged, this, &CDevTreeView::InsertDeviceItem);
        }
        m_resetDlg->LoadDevInfo(uid);
        m_resetDlg->show();
        m_resetDlg->raise();
        return;
    }
    const int dialogId = id == ID_DEV_MOBILE ? DevicePageId::Mobile : id;
    DevicePageDialog*& dialog = m_pageDialogs[dialogId];
    if (dialog == nullptr) {
        DevicePage* page = CreateDevicePage(dialogId, nullptr);
        if (page == nullptr) {
            m_pageDialogs.erase(dialogId);
            return;
        }
        dialog = new DevicePageDialog(page, this);
    }
    dialog->open(uid);
    if (dialogId == DevicePageId::Info)
        dialog->page()->SetHardwareVersionText(GetDeviceVersion(uid));
}
