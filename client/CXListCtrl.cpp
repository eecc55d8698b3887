#include "CXListCtrl.h"

#include <QHeaderView>

CXListCtrl::CXListCtrl(QWidget* parent) : QTableWidget(parent)
{
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    verticalHeader()->setVisible(false);
    horizontalHeader()->setStretchLastSection(true);
    setShowGrid(true);
}

int CXListCtrl::InsertColumn(int column, const QString& title, Qt::Alignment alignment, int width)
{
    column = qBound(0, column, columnCount());
    insertColumn(column);
    auto* header = new QTableWidgetItem(title);
    header->setTextAlignment(alignment);
    header->setData(Qt::UserRole, static_cast<int>(alignment));
    setHorizontalHeaderItem(column, header);
    if (width >= 0) {
        setColumnWidth(column, width);
    }
    return column;
}

QTableWidgetItem* CXListCtrl::cell(int row, int column)
{
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount()) {
        return nullptr;
    }
    QTableWidgetItem* item = this->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        if (const QTableWidgetItem* header = horizontalHeaderItem(column)) {
            item->setTextAlignment(Qt::Alignment(header->data(Qt::UserRole).toInt()) | Qt::AlignVCenter);
        }
        setItem(row, column, item);
    }
    return item;
}

int CXListCtrl::InsertItem(int row, const QString& text)
{
    row = qBound(0, row, rowCount());
    insertRow(row);
    SetItemText(row, 0, text);
    return row;
}

void CXListCtrl::SetItemText(int row, int column, const QString& text, const QColor& textColor, const QColor& background)
{
    QTableWidgetItem* item = cell(row, column);
    if (item == nullptr) {
        return;
    }
    item->setText(text);
    if (textColor.isValid()) {
        item->setForeground(textColor);
    }
    if (background.isValid()) {
        item->setBackground(background);
    }
}

QString CXListCtrl::GetItemText(int row, int column) const
{
    const QTableWidgetItem* item = this->item(row, column);
    return item != nullptr ? item->text() : QString();
}

void CXListCtrl::SetCheckbox(int row, int column, int state)
{
    QTableWidgetItem* item = cell(row, column);
    if (item == nullptr) {
        return;
    }
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(state == 1 ? Qt::Checked : Qt::Unchecked);
}

int CXListCtrl::GetItemCheckedState(int row, int column) const
{
    const QTableWidgetItem* item = this->item(row, column);
    if (item == nullptr || !(item->flags() & Qt::ItemIsUserCheckable)) {
        return 0;
    }
    return item->checkState() == Qt::Checked ? 1 : 0;
}

void CXListCtrl::SetEdit(int row, int column)
{
    if (QTableWidgetItem* item = cell(row, column)) {
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
}

void CXListCtrl::DeleteItem(int row)
{
    if (row >= 0 && row < rowCount()) {
        removeRow(row);
    }
}

void CXListCtrl::DeleteAllItems()
{
    setRowCount(0);
}
