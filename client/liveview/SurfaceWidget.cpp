#include "SurfaceWidget.h"

#include "VideoSurface.h"

#include <QPainter>
#include <QPointer>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace {

std::atomic<int> g_nextHandle{0x5000};

using Clock = std::chrono::steady_clock;

// One picture with what the displayer asked for it. The image wraps `bgr`; the two move together.
struct Frame {
    std::vector<uint8_t> bgr;
    QImage image;
    platform::PictureRect view;
    int rotation = 0;
    std::vector<platform::SurfaceOverlay> overlays;
    QString label;
    Clock::time_point arrived;
    bool valid = false;
};

} // namespace

// The registered surface. It outlives the widget when the SDK still holds it; after the widget
// is gone it takes pictures and drops them.
class SurfaceWidget::Sink : public platform::VideoSurface {
public:
    explicit Sink(SurfaceWidget* widget) : m_widget(widget) {}

    bool acceptsYuv() const override { return true; }

    void present(const platform::SurfacePicture& picture) override
    {
        const size_t bytes = platform::PictureBytes(picture.format, picture.width, picture.height);
        if (bytes == 0 || !picture.pixels)
            return;
        // Several displayers may present to one surface at once; one writes the back frame at a time.
        std::lock_guard<std::mutex> writing(m_writeMutex);
        Frame& back = m_back;
        uint8_t* before = back.bgr.data();
        platform::PictureToBgr(picture.format, picture.pixels, picture.width, picture.height, back.bgr);
        if (back.bgr.data() != before || back.image.width() != picture.width || back.image.height() != picture.height)
            back.image = QImage(back.bgr.data(), picture.width, picture.height, picture.width * 3, QImage::Format_BGR888);
        back.view = picture.view;
        back.rotation = picture.rotation;
        back.overlays = picture.overlays;
        back.label = QString::fromStdString(picture.label);
        back.arrived = Clock::now();
        back.valid = true;

        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(m_back, m_pending);
        m_fresh = true;
        ++m_presented;
        if (m_widget && !m_repaintQueued) {
            m_repaintQueued = true;
            QMetaObject::invokeMethod(m_widget, qOverload<>(&QWidget::update), Qt::QueuedConnection);
        }
    }

    // GUI thread: takes the newest picture if one came since the last paint.
    bool takeFresh()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_repaintQueued = false;
        if (!m_fresh)
            return false;
        std::swap(m_front, m_pending);
        m_fresh = false;
        ++m_painted;
        return true;
    }

    void detach()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_widget = nullptr;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.valid = false;
        m_fresh = false;
        m_front.valid = false;
    }

    uint64_t presented() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_presented;
    }
    uint64_t painted() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_painted;
    }

    // Only the GUI thread reads and swaps the front frame.
    Frame m_front;

private:
    mutable std::mutex m_mutex;
    std::mutex m_writeMutex;
    SurfaceWidget* m_widget;
    Frame m_back;
    Frame m_pending;
    bool m_fresh = false;
    bool m_repaintQueued = false;
    uint64_t m_presented = 0;
    uint64_t m_painted = 0;
};

SurfaceWidget::SurfaceWidget(QWidget* parent)
    : QWidget(parent), m_sink(std::make_shared<Sink>(this)), m_handle(g_nextHandle.fetch_add(1))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    platform::RegisterVideoSurface(m_handle, m_sink);
}

SurfaceWidget::~SurfaceWidget()
{
    platform::UnregisterVideoSurface(m_handle);
    m_sink->detach();
}

uint64_t SurfaceWidget::picturesPresented() const
{
    return m_sink->presented();
}

uint64_t SurfaceWidget::picturesPainted() const
{
    return m_sink->painted();
}

bool SurfaceWidget::hasPicture() const
{
    return m_sink->m_front.valid;
}

QImage SurfaceWidget::currentPicture() const
{
    return m_sink->m_front.valid ? m_sink->m_front.image.copy() : QImage();
}

void SurfaceWidget::clearPicture()
{
    m_sink->clear();
    update();
}

void SurfaceWidget::setBackground(const QImage& image)
{
    m_background = image;
    update();
}

void SurfaceWidget::setPaintObserver(std::function<void(std::chrono::nanoseconds)> observer)
{
    m_paintObserver = std::move(observer);
}

namespace {

// Overlay bitmaps decoded once per file content.
QImage overlayImage(const platform::SurfaceOverlay& overlay)
{
    static std::mutex cacheMutex;
    static std::map<std::string, QImage> byPath;
    static std::map<const void*, QImage> byBitmap;
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (overlay.bitmap && !overlay.bitmap->empty()) {
        auto it = byBitmap.find(overlay.bitmap.get());
        if (it == byBitmap.end()) {
            if (byBitmap.size() > 64)
                byBitmap.clear();
            QImage image;
            image.loadFromData(overlay.bitmap->data(), static_cast<int>(overlay.bitmap->size()), "BMP");
            it = byBitmap.emplace(overlay.bitmap.get(), image).first;
        }
        return it->second;
    }
    if (overlay.path.empty())
        return QImage();
    auto it = byPath.find(overlay.path);
    if (it == byPath.end()) {
        if (byPath.size() > 64)
            byPath.clear();
        it = byPath.emplace(overlay.path, QImage(QString::fromStdString(overlay.path))).first;
    }
    return it->second;
}

} // namespace

void SurfaceWidget::paintEvent(QPaintEvent*)
{
    const bool fresh = m_sink->takeFresh();
    const Frame& frame = m_sink->m_front;
    QPainter painter(this);
    const QRect area = rect();
    if (!frame.valid || frame.image.isNull()) {
        if (m_background.isNull())
            painter.fillRect(area, Qt::black);
        else
            painter.drawImage(area, m_background);
        return;
    }

    QRect source(frame.view.x, frame.view.y, frame.view.width, frame.view.height);
    if (source.isEmpty())
        source = frame.image.rect();
    source = source.intersected(frame.image.rect());
    const int turns = ((frame.rotation % 360) + 360) % 360 / 90;
    painter.save();
    painter.translate(area.center() + QPointF(0.5, 0.5));
    painter.rotate(90.0 * turns);
    const QSize turned = (turns % 2) ? area.size().transposed() : area.size();
    painter.drawImage(QRectF(-turned.width() / 2.0, -turned.height() / 2.0, turned.width(), turned.height()), frame.image,
                      source);
    painter.restore();

    for (const platform::SurfaceOverlay& overlay : frame.overlays) {
        const QImage picture = overlayImage(overlay);
        if (picture.isNull())
            continue;
        QRect box(area.width() - overlay.fromRight, area.height() - overlay.fromBottom, overlay.width, overlay.height);
        if (overlay.inPicture && source.width() > 0 && source.height() > 0) {
            const double sx = double(area.width()) / source.width();
            const double sy = double(area.height()) / source.height();
            box = QRect(int(area.width() - overlay.fromRight * sx), int(area.height() - overlay.fromBottom * sy),
                        int(overlay.width * sx), int(overlay.height * sy));
        }
        painter.drawImage(box, picture);
    }
    if (!frame.label.isEmpty()) {
        painter.setPen(Qt::black);
        painter.drawText(area.adjusted(7, 5, 0, 0), Qt::AlignLeft | Qt::AlignTop, frame.label);
        painter.setPen(Qt::white);
        painter.drawText(area.adjusted(6, 4, 0, 0), Qt::AlignLeft | Qt::AlignTop, frame.label);
    }
    if (fresh && m_paintObserver)
        m_paintObserver(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - frame.arrived));
}
