#include "AlarmPaneView.h"

#include "DeviceDatabases.h"
#include "FrameText.h"

#include <QHeaderView>
#include <QResizeEvent>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QColor kRowBackground(255, 225, 255);

} // namespace

CAlarmPaneView::CAlarmPaneView(QWidget* parent) : QWidget(parent), m_list(new QTableWidget(0, 3, this))
{
    setObjectName(QStringLiteral("AlarmPane"));
    m_list->setObjectName(QStringLiteral("AlarmList"));
    m_list->setProperty("controlId", kListId);
    m_list->setShowGrid(true);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->verticalHeader()->hide();
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);
    RetranslateUi();
}

void CAlarmPaneView::RetranslateUi()
{
    m_list->setHorizontalHeaderLabels({LangText("AlarmPannel", "UID"), LangText("AlarmPannel", "AlarmTime"),
                                       LangText("AlarmPannel", "AlarmType")});
}

void CAlarmPaneView::AddAlarm(const QString& uid, const QString& time, const QString& detail)
{
    AddAlarmRow(uid, time, detail);
    AlarmTable::append(DataDir(), {uid, time, detail});
}

void CAlarmPaneView::AddAlarmRow(const QString& uid, const QString& time, const QString& detail)
{
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    const QString cells[3] = {uid, time, detail};
    for (int column = 0; column < 3; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        item->setTextAlignment(Qt::AlignCenter);
        item->setForeground(Qt::black);
        item->setBackground(kRowBackground);
        m_list->setItem(row, column, item);
    }
}

void CAlarmPaneView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Columns keep the weights 8, 10, 10 of the list's width.
    const int width = std::max(0, m_list->viewport()->width() - 2);
    const int weights[3] = {8, 10, 10};
    for (int column = 0; column < 3; ++column)
        m_list->setColumnWidth(column, width * weights[column] / 28);
}
