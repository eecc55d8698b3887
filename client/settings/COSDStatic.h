// The OSD page's preview: the video picture at half size (352 x 288 pixels standing for 704 x 576)
// on which the three on-screen labels (0 name, 1 date and time, 2 frame and bit rate) are shown
// and dragged. A label's box is always 80 x 20 preview pixels; its text is drawn from the box's
// top-left corner. Positions are the preview's own pixels; the page doubles them for the device.
// GUI thread only.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>

class COSDStatic : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 352;
    static constexpr int kHeight = 288;
    static constexpr int kItemWidth = 80;
    static constexpr int kItemHeight = 20;
    enum Item { Name = 0, Time = 1, Rate = 2 };
    static constexpr int kItems = 3;

    explicit COSDStatic(QWidget* parent = nullptr);

    // Shows item with its box's top-left corner at (x, y); other item numbers do nothing.
    void PlaceItem(int item, int x, int y);
    // Moves item's box without showing or hiding it.
    void setItemPosition(int item, QPoint topLeft);
    void setItemShown(int item, bool shown);
    void setItemText(int item, const QString& text);

    QRect itemBox(int item) const;
    bool itemShown(int item) const;
    // The item a drag moves, -1 for none.
    int draggedItem() const { return m_dragged; }

signals:
    // The user dragged item to a new place.
    void itemMoved(int item);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Label {
        QPoint topLeft;
        bool shown = false;
        QString text;
    };
    static bool valid(int item) { return item >= 0 && item < kItems; }

    std::array<Label, kItems> m_items;
    int m_dragged = -1;
};
