#include "DevSearchDlg.h"

#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "FrameText.h"
#include "GuiMailbox.h"
#include "libLumora.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const QColor kEditable(255, 225, 255);
const QColor kFixed(210, 221, 244);
const QColor kUidColour(100, 221, 244);

} // namespace

// Answers on their way from the SDK's receiving thread to the dialog. The receiving thread drops
// repeats and answers past the cap here, so a flood costs the GUI thread one queued call per
// batch and never more rows than the cap.
struct DevSearchDlg::AnswerQueue {
    std::mutex mutex;
    std::vector<DevSearchReply> pending;      // guarded by mutex
    std::unordered_set<std::string> macs;     // guarded by mutex; at most kMaxSearchRows
    int dropped = 0;                          // guarded by mutex
    bool drainPosted = false;                 // guarded by mutex
};

DevSearchDlg::DevSearchDlg(CDevTreeView* tree, QWidget* parent)
    : QDialog(parent), m_tree(tree), m_mailbox(GuiMailbox::create(this)), m_list(new QTableWidget(0, ColumnCount, this)),
      m_tip(new QLabel(this)), m_search(new QPushButton(this)), m_manual(new QPushButton(this)), m_add(new QPushButton(this))
{
    setObjectName(QStringLiteral("DevSearchDlg"));
    setModal(false);
    m_list->setObjectName(QStringLiteral("DevSearchList"));
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::SelectedClicked);
    m_list->verticalHeader()->hide();
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    m_list->horizontalHeader()->setStretchLastSection(true);
    m_tip->setObjectName(QStringLiteral("DevSearchTip"));
    m_tip->setAlignment(Qt::AlignCenter);
    m_tip->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0); background: white;"));
    m_search->setObjectName(QStringLiteral("DevSearchButton"));
    m_manual->setObjectName(QStringLiteral("DevManualButton"));
    m_add->setObjectName(QStringLiteral("DevAddButton"));
    m_add->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_search);
    buttons->addStretch(2);
    buttons->addWidget(m_manual);
    buttons->addStretch(2);
    buttons->addWidget(m_add);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addWidget(m_tip);
    layout->addLayout(buttons);
    resize(900, 420);

    connect(m_search, &QPushButton::clicked, this, &DevSearchDlg::OnSearch);
    connect(m_manual, &QPushButton::clicked, this, &DevSearchDlg::OnManual);
    connect(m_add, &QPushButton::clicked, this, &DevSearchDlg::OnAdd);
    RetranslateUi();
}

DevSearchDlg::~DevSearchDlg()
{
    m_mailbox->close();
}

void DevSearchDlg::RetranslateUi()
{
    setWindowTitle(LangText("DevListMenu", "SearchDev"));
    m_tip->setText(LangText("DevSearch", "AddTip"));
    m_search->setText(LangText("DevSearch", "DevSearch"));
    m_manual->setText(LangText("DevSearch", "Manual"));
    m_add->setText(LangText("DevSearch", "Add"));
    m_list->setHorizontalHeaderLabels({QString(), LangText("DevSearch", "DevAlias"), LangText("DevSearch", "DevLoginPW"),
                                       LangText("DevSearch", "DevIP"), LangText("DevSearch", "DevMac"),
                                       QStringLiteral("UID"), LangText("DevSearch", "Sofeware"),
                                       LangText("DevSearch", "Hardware")});
    fitColumns();
}

void DevSearchDlg::fitColumns()
{
    if (!isVisible())
        return; // before the first show the viewport has no width yet
    const int weights[ColumnCount] = {4, 10, 10, 10, 10, 10, 10, 10};
    const int width = std::max(0, m_list->viewport()->width() - 2);
    for (int c = 0; c < ColumnCount; ++c)
        m_list->setColumnWidth(c, std::max(24, width * weights[c] / 74));
}

void DevSearchDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The layout gives the list its size only now.
    if (QLayout* l = layout())
        l->activate();
    fitColumns();
}

void DevSearchDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    fitColumns();
}

void DevSearchDlg::setCell(int row, int column, const QString& text, const QColor& background, bool editable)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    item->setForeground(Qt::black);
    item->setBackground(background);
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (editable)
        flags |= Qt::ItemIsEditable;
    item->setFlags(flags);
    m_list->setItem(row, column, item);
}

void DevSearchDlg::OnSearch()
{
    m_list->setRowCount(0);
    m_rowCounter = 0;
    m_macs.clear();
    m_searchRows = 0;
    m_dropped = 0;
    auto queue = std::make_shared<AnswerQueue>();
    m_answers = queue;
    std::shared_ptr<GuiMailbox> box = m_mailbox;
    SearchDev(kSearchSeconds, [box, queue](int, int result, std::string, std::string, char* datagram, int length) {
        // The SDK's receiving thread: read the datagram here, with bounds, and hand over a value.
        if (datagram == nullptr) {
            if (result == -1)
                box->post([](QObject* self) { static_cast<DevSearchDlg*>(self)->OnSearchEnd(); });
            return;
        }
        const int size = length > 0 ? length : result;
        if (size <= 0)
            return;
        std::optional<DevSearchReply> reply = ParseDevSearchReply(datagram, static_cast<std::size_t>(size));
        if (!reply)
            return;
        {
            std::lock_guard lock(queue->mutex);
            if (queue->macs.count(reply->mac) != 0)
                return;
            if (queue->macs.size() >= static_cast<std::size_t>(kMaxSearchRows)) {
                ++queue->dropped;
                return;
            }
            queue->macs.insert(reply->mac);
            queue->pending.push_back(std::move(*reply));
            if (queue->drainPosted)
                return;
            queue->drainPosted = true;
        }
        box->post([queue](QObject* self) { static_cast<DevSearchDlg*>(self)->drainAnswers(queue); });
    });
    m_search->setEnabled(false);
}

void DevSearchDlg::drainAnswers(const std::shared_ptr<AnswerQueue>& queue)
{
    std::vector<DevSearchReply> batch;
    {
        std::lock_guard lock(queue->mutex);
        batch.swap(queue->pending);
        queue->drainPosted = false;
        if (queue == m_answers)
            m_dropped = queue->dropped;
    }
    if (queue != m_answers)
        return; // a search the user has replaced
    m_list->setUpdatesEnabled(false);
    for (const DevSearchReply& reply : batch)
        OnSearchAnswer(reply);
    m_list->setUpdatesEnabled(true);
}

void DevSearchDlg::OnSearchAnswer(const DevSearchReply& reply)
{
    const QString mac = QString::fromUtf8(reply.mac.c_str());
    if (m_macs.contains(mac))
        return; // one row per MAC; the first answer's strings stay
    if (m_searchRows >= kMaxSearchRows) {
        ++m_dropped;
        return;
    }
    m_macs.insert(mac);
    ++m_searchRows;
    m_rowCounter = m_list->rowCount();
    const int row = m_rowCounter;
    m_list->insertRow(row);
    auto* check = new QTableWidgetItem;
    check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    // Unticked: an answer is only a claim from someone on the LAN; the user picks what to add.
    check->setCheckState(Qt::Unchecked);
    m_list->setItem(row, Check, check);
    setCell(row, Alias, LangText("DevPWSet", "Alias"), kEditable, true);
    setCell(row, Password, QString::fromLatin1(kDefaultPassword), kEditable, true);
    setCell(row, Ip, QString::fromUtf8(reply.ip.c_str()), kFixed, false);
    setCell(row, Mac, mac, kFixed, false);
    setCell(row, Uid, QString::fromUtf8(reply.uid.c_str()), kUidColour, false);
    setCell(row, Software, QString::fromUtf8(reply.software.c_str()), kFixed, false);
    setCell(row, Hardware, QString::fromUtf8(reply.hardware.c_str()), kFixed, false);
}

void DevSearchDlg::OnSearchEnd()
{
    m_search->setEnabled(true);
}

void DevSearchDlg::OnManual()
{
    const int row = std::min(m_rowCounter, m_list->rowCount());
    m_list->insertRow(row);
    auto* check = new QTableWidgetItem;
    check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    check->setCheckState(Qt::Checked);
    m_list->setItem(row, Check, check);
    setCell(row, Alias, LangText("DevPWSet", "Alias"), kEditable, true);
    setCell(row, Password, LangText("DevSearch", "ManualPA"), kEditable, true);
    setCell(row, Ip, QString(), kFixed, false);
    setCell(row, Mac, QString(), kFixed, false);
    setCell(row, Uid, LangText("DevSearch", "ManualUID"), kEditable, true);
    setCell(row, Software, QString(), kFixed, false);
    setCell(row, Hardware, QString(), kFixed, false);
    ++m_rowCounter;
}

void DevSearchDlg::showStoreError(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void DevSearchDlg::OnAdd()
{
    auto text = [this](int row, int column) {
        const QTableWidgetItem* item = m_list->item(row, column);
        return item ? item->text() : QString();
    };
    std::vector<DevInfoRow> rows;
    for (int row = 0; row < m_list->rowCount(); ++row) {
        const QTableWidgetItem* check = m_list->item(row, Check);
        if (check && check->checkState() == Qt::Checked)
            rows.push_back({text(row, Uid), text(row, Password), text(row, Alias), text(row, Mac)});
    }
    std::vector<DevInfoRow> stored;
    const DevInfoTable::StoreResult result = DevInfoTable::store(DataDir(), rows, &stored);
    for (const DevInfoRow& row : stored) {
        if (m_tree)
            m_tree->AddDevice(row.uid, row.mac, row.alias, row.password);
        emit deviceStored(row.uid);
    }
    if (result == DevInfoTable::StoreResult::CreateFailed)
        showStoreError(QStringLiteral("Couldn't create table TestRes"));
    else if (result == DevInfoTable::StoreResult::InsertFailed)
        showStoreError(QStringLiteral("Couldn't inste table TestRes"));
    hide();
}
