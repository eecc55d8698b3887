// A widget that libLumora draws video into. It registers a drawing surface under a handle of its
// own; the pane passes that handle to the SDK as its window (BeginVideo, PlayRemoteRec,
// PlayLocalAVIFile). Decoder threads hand the surface pictures; the surface keeps only the newest
// one and asks the GUI thread for one repaint however many pictures arrive before it runs, so a
// grid of panes never queues more paints than the screen can show. No SDK thread touches the
// widget itself.
#pragma once

#include <QImage>
#include <QStringList>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class SurfaceWidget : public QWidget {
    Q_OBJECT
public:
    explicit SurfaceWidget(QWidget* parent = nullptr);
    ~SurfaceWidget() override;

    // The handle the surface is registered under (never 0, unique in the process).
    int handle() const { return m_handle; }

    // Pictures handed to the surface, and pictures painted; a painted count below the presented
    // count means paints were coalesced.
    uint64_t picturesPresented() const;
    uint64_t picturesPainted() const;
    bool hasPicture() const;
    // The newest painted picture as the decoder gave it (whole, before zoom, scaling and rotation);
    // null if none.
    QImage currentPicture() const;
    // The files of the status pictures drawn over the newest painted picture, by slot (an empty
    // string for a free slot).
    QStringList currentOverlays() const;

    // Forgets the picture, so the background shows again (a pane whose stream ended).
    void clearPicture();
    // What shows while there is no picture; a null image gives a black surface.
    void setBackground(const QImage& image);

    // Called on the GUI thread after each paint of a new picture with the time from its arrival
    // to the paint (for measurements).
    void setPaintObserver(std::function<void(std::chrono::nanoseconds)> observer);

signals:
    // A new picture has been painted (GUI thread).
    void pictureShown();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    class Sink;
    std::shared_ptr<Sink> m_sink;
    int m_handle = 0;
    QImage m_background;
    std::function<void(std::chrono::nanoseconds)> m_paintObserver;
};
