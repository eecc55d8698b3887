// The motion grid of the alarm page: the device's detection area as 16 columns by 12 rows of
// cells, which the user turns on by dragging a band with the left mouse button.
//
// The area is the device's "Area" array, one entry per cell at row * 16 + column; a cell is on
// exactly when its entry is the integer 1. A drag turns on every cell of the rectangle between
// the cell where it started and the cell where it ended; Clear turns all 192 off. Entries the
// grid does not own (a `true` the device sent, entries past 192) travel back as they came unless
// a drag or Clear covers them.
//
// Drawn in paintEvent: grid lines, the cells that are on inverted, and the band of a drag in
// progress inverted over them (where the band covers a cell that is on, the background shows).
// GUI thread only.
#pragma once

#include <QPoint>
#include <QWidget>
#include <json/json.h>

class CMoveRectStatic : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 16;
    static constexpr int kRows = 12;
    static constexpr int kCells = kColumns * kRows;

    explicit CMoveRectStatic(QWidget* parent = nullptr);

    // The device's area as it came. Anything but an array (missing, a number...) starts as 192
    // cells that are off; a shorter array is filled up with cells that are off.
    void SetArea(const Json::Value& area);
    // The area to send: always an array of at least 192 entries.
    Json::Value GetArea() const { return m_area; }
    // Turns on the cells of a drag still in progress (the page is confirmed or closed meanwhile).
    void CommitSelection();
    // Turns every cell off.
    void ClearArea();
    // Forgets a drag in progress without marking it.
    void CancelDrag();

    bool isOn(int cell) const;
    // The cell under a point of the widget; points outside are held to the nearest edge cell.
    int cellAt(QPoint point) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int cellWidth() const;
    int cellHeight() const;
    void markBand();

    Json::Value m_area;
    QPoint m_bandStart;
    QPoint m_bandEnd;
    bool m_dragging = false;
};
