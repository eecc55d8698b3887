#pragma once
// A report-style list with per-cell text and background colours, check boxes in cells and cells
// the user can edit in place (the alarm pane, the LAN search dialog, the side panel's presets).
// Rows and columns count from 0. Cells are read-only until SetEdit; a check box is a cell state,
// read back as the user left it.

#include <QColor>
#include <QString>
#include <QTableWidget>

class CXListCtrl : public QTableWidget {
    Q_OBJECT
public:
    explicit CXListCtrl(QWidget* parent = nullptr);

    // Adds a column at index with its title; alignment applies to the column's cells.
    int InsertColumn(int column, const QString& title, Qt::Alignment alignment = Qt::AlignCenter, int width = -1);
    // Inserts a row at row (clamped to the row count) with text in column 0; returns its index.
    int InsertItem(int row, const QString& text);
    // Sets a cell's text and colours; an invalid colour keeps the list's own.
    void SetItemText(int row, int column, const QString& text, const QColor& textColor = QColor(),
                     const QColor& background = QColor());
    QString GetItemText(int row, int column) const;
    // state 1 checked, 0 not.
    void SetCheckbox(int row, int column, int state);
    // 1 when the cell's check box is checked, 0 otherwise (also for a cell without one).
    int GetItemCheckedState(int row, int column) const;
    // Lets the user edit the cell in place (double-click or F2).
    void SetEdit(int row, int column);
    int GetColumns() const { return columnCount(); }
    void DeleteItem(int row);
    void DeleteAllItems();

private:
    QTableWidgetItem* cell(int row, int column);
};
