#include "DevAllProView.h"

#include "DevicePage.h"
#include "DevicePages.h"
#include "LangText.h"

#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// Tab captions (section "DevAllPro") by dialog id.
const char* captionKey(int dialogId)
{
    switch (dialogId) {
    case DevicePageId::Net: return "Net";
    case DevicePageId::Wireless: return "Wireless";
    case DevicePageId::Time: return "DevTime";
    case DevicePageId::Rec: return "DevRec";
    case DevicePageId::Alarm: return "DevAlarm";
    case DevicePageId::Osd: return "DevOSD";
    case DevicePageId::Info: return "DevInfo";
    case DevicePageId::Video: return "DevVideoSet";
    case DevicePageId::Ftp: return "DevFTPSet";
    default: return "";
    }
}

} // namespace

DevAllProView::DevAllProView(QWidget* parent) : QWidget(parent), m_tabs(new QTabWidget(this))
{
    setObjectName(QStringLiteral("DevAllProView"));
    m_tabs->setObjectName(QStringLiteral("DevAllProTabs"));
    m_tabs->setTabPosition(QTabWidget::North);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_tabs);
    for (int id : kSettingsTabs) {
        DevicePage* page = CreateDevicePage(id, m_tabs);
        if (page == nullptr)
            continue;
        m_pages.push_back(page);
        m_tabs->addTab(page, LangText("DevAllPro", captionKey(id)));
    }
    // Connected after the tabs exist: adding the first tab is no tab change of the user's.
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int index) {
        refresh(page(index));
        if (onTabChanged)
            onTabChanged(m_uid);
    });
}

DevicePage* DevAllProView::page(int index) const
{
    return index >= 0 && index < static_cast<int>(m_pages.size()) ? m_pages[static_cast<size_t>(index)] : nullptr;
}

DevicePage* DevAllProView::pageById(int dialogId) const
{
    for (DevicePage* p : m_pages)
        if (p->dialogId() == dialogId)
            return p;
    return nullptr;
}

DevicePage* DevAllProView::activePage() const
{
    return page(m_tabs->currentIndex());
}

void DevAllProView::RefreshActivePage(const QString& uid)
{
    m_uid = uid;
    refresh(activePage());
}

void DevAllProView::refresh(DevicePage* page)
{
    if (page == nullptr)
        return;
    page->load(m_uid);
    if (page->dialogId() == DevicePageId::Info && deviceVersion && !m_uid.isEmpty())
        page->SetHardwareVersionText(deviceVersion(m_uid));
}
