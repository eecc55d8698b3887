#include "DevAddPrenstPosDlg.h"

#include "GuiMailbox.h"
#include "LangText.h"
#include "PtzReply.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <json/json.h>

namespace {

std::string compact(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

constexpr int kBitIdRole = Qt::UserRole + 1;

} // namespace

DevAddPrenstPosDlg::DevAddPrenstPosDlg(QWidget* parent) : QDialog(parent), m_mailbox(GuiMailbox::create(this))
{
    setObjectName(QStringLiteral("DevAddPrenstPosDlg"));
    setWindowTitle(LangText("RTPannel", "PresetTitle"));
    setModal(false);
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(LangText("RTPannel", "PresetAdded"), this), 0, 0);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("PresetList"));
    layout->addWidget(m_list, 1, 0, 4, 1);
    layout->addWidget(new QLabel(LangText("RTPannel", "PresetNewName"), this), 0, 1, 1, 2);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("PresetName"));
    layout->addWidget(m_name, 1, 1, 1, 2);
    m_add = new QPushButton(LangText("RTPannel", "PTZAdd"), this);
    m_add->setObjectName(QStringLiteral("PresetAdd"));
    m_add->setDefault(true);
    m_delete = new QPushButton(LangText("RTPannel", "PTZDel"), this);
    m_delete->setObjectName(QStringLiteral("PresetDelete"));
    m_cancel = new QPushButton(LangText("Common", "Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("PresetCancel"));
    layout->addWidget(m_add, 2, 1);
    layout->addWidget(m_delete, 2, 2);
    layout->addWidget(m_cancel, 4, 2);
    layout->setRowStretch(3, 1);
    connect(m_add, &QPushButton::clicked, this, &DevAddPrenstPosDlg::OnBnClickedOk);
    connect(m_delete, &QPushButton::clicked, this, &DevAddPrenstPosDlg::OnBnClickedDelete);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem*) { OnDblclkPresetList(); });
    resize(400, 210);
}

DevAddPrenstPosDlg::~DevAddPrenstPosDlg()
{
    m_mailbox->close();
}

int DevAddPrenstPosDlg::bitIdOf(int row) const
{
    const QListWidgetItem* item = m_list->item(row);
    return item != nullptr ? item->data(kBitIdRole).toInt() : -1;
}

QListWidgetItem* DevAddPrenstPosDlg::itemWithId(int bitId) const
{
    for (int row = 0; row < m_list->count(); ++row)
        if (m_list->item(row)->data(kBitIdRole).toInt() == bitId)
            return m_list->item(row);
    return nullptr;
}

int DevAddPrenstPosDlg::freeBitId() const
{
    int id = 1;
    while (itemWithId(id) != nullptr || m_pendingAdds.count(id) != 0)
        ++id;
    return id;
}

void DevAddPrenstPosDlg::RequestPresets(const QString& uid)
{
    m_list->clear();
    m_pendingAdds.clear();
    m_deviceUid = uid;
    const int generation = ++m_generation;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    GetPresetPTZ(WideToMultiByte(uid), [box, uid, generation](int, int result, std::string text, std::string, char*, int) {
        if (result != 0)
            return;
        box->post([uid, generation, text = std::move(text)](QObject* self) {
            static_cast<DevAddPrenstPosDlg*>(self)->OnPresetList(uid, generation, text);
        });
    });
}

void DevAddPrenstPosDlg::OnPresetList(const QString& uid, int generation, const std::string& text)
{
    if (uid != m_deviceUid || generation != m_generation)
        return;
    const std::optional<PresetListReply> reply = ParsePresetListReply(text.data(), text.size());
    if (!reply)
        return;
    m_presetCount = reply->pointsCount;
    for (const PresetPoint& point : reply->points) {
        QString name = Utf8ToWide(point.desc);
        if (name.isEmpty())
            name = LangText("RTPannel", "PTZPreset") + QString::number(point.index);
        auto* item = new QListWidgetItem(name, m_list);
        item->setData(kBitIdRole, point.bitId);
    }
}

void DevAddPrenstPosDlg::OnBnClickedOk()
{
    const QString name = m_name->text();
    if (name.isEmpty())
        return;
    const int id = freeBitId();
    m_pendingAdds.insert(id);
    ++m_presetCount;
    Json::Value add;
    add["BitID"] = id;
    add["Desc"] = WideToUtf8(name);
    add["Speed"] = 7;
    const QString uid = m_deviceUid;
    const int generation = m_generation;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    SetPresetPTZ(WideToMultiByte(uid), compact(add),
                 [box, uid, generation, id, name](int, int result, std::string text, std::string, char*, int) {
                     box->post([uid, generation, id, name, result, text = std::move(text)](QObject* self) {
                         static_cast<DevAddPrenstPosDlg*>(self)->OnAddReply(uid, generation, result, text, id, name);
                     });
                 });
}

void DevAddPrenstPosDlg::OnAddReply(const QString& uid, int generation, int result, const std::string& text, int sentId,
                                    const QString& name)
{
    if (uid != m_deviceUid || generation != m_generation)
        return;
    m_pendingAdds.erase(sentId);
    if (result != 0)
        return;
    // The device's reply names the id it stored, when it says.
    const int id = ParsePresetAddReply(text.data(), text.size()).value_or(sentId);
    QListWidgetItem* item = itemWithId(id);
    if (item == nullptr) {
        item = new QListWidgetItem(m_list);
        item->setData(kBitIdRole, id);
    }
    item->setText(name);
    if (m_name->text() == name)
        m_name->clear();
}

void DevAddPrenstPosDlg::OnDblclkPresetList()
{
    const QListWidgetItem* item = m_list->currentItem();
    if (item == nullptr)
        return;
    Json::Value go;
    go["BitID"] = item->data(kBitIdRole).toInt();
    go["Type"] = 0;
    GoPresetPTZ(WideToMultiByte(m_deviceUid), compact(go), DeviceResultCallback());
}

void DevAddPrenstPosDlg::OnBnClickedDelete()
{
    const QListWidgetItem* item = m_list->currentItem();
    if (item == nullptr)
        return;
    const int id = item->data(kBitIdRole).toInt();
    Json::Value del;
    del["BitID"] = id;
    del["Type"] = 1;
    const QString uid = m_deviceUid;
    const int generation = m_generation;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    GoPresetPTZ(WideToMultiByte(uid), compact(del), [box, uid, generation, id](int, int result, std::string, std::string, char*, int) {
        box->post([uid, generation, id, result](QObject* self) {
            static_cast<DevAddPrenstPosDlg*>(self)->OnDeleteReply(uid, generation, result, id);
        });
    });
}

void DevAddPrenstPosDlg::OnDeleteReply(const QString& uid, int generation, int result, int bitId)
{
    if (uid != m_deviceUid || generation != m_generation || result != 0)
        return;
    delete itemWithId(bitId);
}
