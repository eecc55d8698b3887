#include "SurfaceWidget.h"

#include "VideoSurface.h"

#include <QPainter>
#include <QPointer>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

std::atomic<int> g_nextHandle{0x5000};

using Clock = std::chrono::steady_clock;

// One picture with what the displayer asked for it. The picture's own bytes are kept as they came
// (for currentPicture()); what the pane shows is `shown`, made on arrival: the viewed part already
// scaled to the size the pane shows it at when that is not larger than the part, so a paint only
// copies it, else the whole picture at its own size for the painter to enlarge. Both are Qt's
// 32-bit RGB (0xffRRGGBB words), the format QPainter draws from directly.
struct Frame {
    std::vector<uint8_t> raw;
    platform::PictureFormat format = platform::PictureFormat::Bgr24;
    int width = 0;
    int height = 0;
    // The whole picture converted, when it is shown enlarged; `shown` then wraps it.
    std::vector<uint32_t> wholePixels;
    QImage shown;
    // The part of `shown` to stretch over the surface.
    QRect shownSource;
    platform::PictureRect view;
    int rotation = 0;
    std::vector<platform::SurfaceOverlay> overlays;
    QString label;
    Clock::time_point arrived;
    bool valid = false;
};

uint32_t rgb32(int r, int g, int b)
{
    return 0xff000000u | (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
}

void bgrToRgb32Plain(const uint8_t* bgr, uint32_t* out, size_t count)
{
    for (size_t i = 0; i < count; ++i, bgr += 3)
        out[i] = rgb32(bgr[2], bgr[1], bgr[0]);
}

#if defined(__x86_64__) || defined(__i386__)
// Four pixels per shuffle. Each load takes 16 bytes for 12, so the last pixels (whose load would
// run past the picture) go the plain way.
__attribute__((target("ssse3"))) void bgrToRgb32Ssse3(const uint8_t* bgr, uint32_t* out, size_t count)
{
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
    size_t i = 0;
    for (; i + 6 <= count; i += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(_mm_shuffle_epi8(in, spread), alpha));
    }
    bgrToRgb32Plain(bgr + 3 * i, out + i, count - i);
}
#endif

void bgrToRgb32(const uint8_t* bgr, uint32_t* out, size_t count)
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        bgrToRgb32Ssse3(bgr, out, count);
        return;
    }
#endif
    bgrToRgb32Plain(bgr, out, count);
}

uint8_t clampByte(int value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// The picture as 32-bit RGB; planar and NV12 pictures by the same BT.601 (limited range) sums as
// platform::PictureToBgr, pixel for pixel.
void pictureToRgb32(const platform::SurfacePicture& picture, std::vector<uint32_t>& out)
{
    const size_t w = static_cast<size_t>(picture.width);
    const size_t h = static_cast<size_t>(picture.height);
    out.resize(w * h);
    if (picture.format == platform::PictureFormat::Bgr24) {
        bgrToRgb32(picture.pixels, out.data(), w * h);
        return;
    }
    const bool planar = picture.format == platform::PictureFormat::Yuv420p;
    const size_t cw = w / 2;
    const size_t ch = h / 2;
    const uint8_t* luma = picture.pixels;
    const uint8_t* chroma = picture.pixels + w * h;
    for (size_t y = 0; y < h; ++y) {
        const size_t cy = std::min(y / 2, ch ? ch - 1 : 0);
        const uint8_t* lumaRow = luma + y * w;
        const uint8_t* uRow = planar ? chroma + cy * cw : chroma + cy * 2 * cw;
        const uint8_t* vRow = planar ? chroma + cw * ch + cy * cw : chroma + cy * 2 * cw + 1;
        const size_t step = planar ? 1 : 2;
        uint32_t* outRow = out.data() + y * w;
        for (size_t x = 0; x < w; ++x) {
            const size_t cx = std::min(x / 2, cw ? cw - 1 : 0);
            const int d = (cw && ch) ? uRow[cx * step] - 128 : 0;
            const int e = (cw && ch) ? vRow[cx * step] - 128 : 0;
            const int c = 298 * (lumaRow[x] - 16);
            outRow[x] = rgb32(clampByte((c + 409 * e + 128) >> 8), clampByte((c - 100 * d - 208 * e + 128) >> 8),
                              clampByte((c + 516 * d + 128) >> 8));
        }
    }
}

// The pixel at (x, y) of a picture as 32-bit RGB, by the same sums as pictureToRgb32.
struct PixelReader {
    const platform::SurfacePicture& picture;
    size_t w;
    size_t cw;
    size_t ch;

    explicit PixelReader(const platform::SurfacePicture& p)
        : picture(p), w(size_t(p.width)), cw(size_t(p.width) / 2), ch(size_t(p.height) / 2)
    {
    }

    uint32_t at(size_t x, size_t y) const
    {
        if (picture.format == platform::PictureFormat::Bgr24) {
            const uint8_t* p = picture.pixels + (y * w + x) * 3;
            return rgb32(p[2], p[1], p[0]);
        }
        const size_t h = size_t(picture.height);
        int d = 0;
        int e = 0;
        if (cw && ch) {
            const size_t cx = std::min(x / 2, cw - 1);
            const size_t cy = std::min(y / 2, ch - 1);
            const uint8_t* chroma = picture.pixels + w * h;
            if (picture.format == platform::PictureFormat::Yuv420p) {
                d = chroma[cy * cw + cx] - 128;
                e = chroma[cw * ch + cy * cw + cx] - 128;
            } else {
                d = chroma[cy * 2 * cw + cx * 2] - 128;
                e = chroma[cy * 2 * cw + cx * 2 + 1] - 128;
            }
        }
        const int c = 298 * (picture.pixels[y * w + x] - 16);
        return rgb32(clampByte((c + 409 * e + 128) >> 8), clampByte((c - 100 * d - 208 * e + 128) >> 8),
                     clampByte((c + 516 * d + 128) >> 8));
    }
};

// The `source` part of a picture scaled to `out`'s size, each output pixel taken from the picture
// pixel under its centre (as the painter draws a picture without smoothing), reading only those.
void scaledToRgb32(const platform::SurfacePicture& picture, const QRect& source, QImage& out)
{
    const PixelReader reader(picture);
    const int ow = out.width();
    const int oh = out.height();
    std::vector<size_t> columns(static_cast<size_t>(ow));
    for (int x = 0; x < ow; ++x)
        columns[size_t(x)] = size_t(source.x() + std::min<int64_t>(source.width() - 1, (int64_t(2 * x + 1) * source.width()) / (2 * ow)));
    for (int y = 0; y < oh; ++y) {
        const size_t sy =
            size_t(source.y() + std::min<int64_t>(source.height() - 1, (int64_t(2 * y + 1) * source.height()) / (2 * oh)));
        auto* row = reinterpret_cast<uint32_t*>(out.scanLine(y));
        for (int x = 0; x < ow; ++x)
            row[x] = reader.at(columns[size_t(x)], sy);
    }
}

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
        back.raw.assign(picture.pixels, picture.pixels + bytes);
        back.format = picture.format;
        back.width = picture.width;
        back.height = picture.height;

        const QRect whole(0, 0, picture.width, picture.height);
        QRect source(picture.view.x, picture.view.y, picture.view.width, picture.view.height);
        if (source.isEmpty())
            source = whole;
        source = source.intersected(whole);
        const int turns = ((picture.rotation % 360) + 360) % 360 / 90;
        QSize target(m_targetWidth.load(std::memory_order_relaxed), m_targetHeight.load(std::memory_order_relaxed));
        if (turns % 2)
            target.transpose();
        if (!source.isEmpty() && target.width() > 0 && target.height() > 0 && target.width() <= source.width() &&
            target.height() <= source.height()) {
            if (back.shown.size() != target || back.shown.format() != QImage::Format_RGB32)
                back.shown = QImage(target, QImage::Format_RGB32);
            scaledToRgb32(picture, source, back.shown);
            back.shownSource = back.shown.rect();
        } else {
            const uint32_t* before = back.wholePixels.data();
            pictureToRgb32(picture, back.wholePixels);
            if (back.wholePixels.data() != before || back.shown.constBits() != reinterpret_cast<const uchar*>(before) ||
                back.shown.size() != whole.size())
                back.shown = QImage(reinterpret_cast<const uchar*>(back.wholePixels.data()), picture.width, picture.height,
                                    picture.width * 4, QImage::Format_RGB32);
            back.shownSource = source;
        }
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

    // GUI thread: the size the surface shows pictures at, in device pixels.
    void setTarget(QSize size)
    {
        m_targetWidth.store(size.width(), std::memory_order_relaxed);
        m_targetHeight.store(size.height(), std::memory_order_relaxed);
    }

    // Only the GUI thread reads and swaps the front frame.
    Frame m_front;

private:
    mutable std::mutex m_mutex;
    std::mutex m_writeMutex;
    std::atomic<int> m_targetWidth{0};
    std::atomic<int> m_targetHeight{0};
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
    m_sink->setTarget(size() * devicePixelRatio());
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

QStringList SurfaceWidget::currentOverlays() const
{
    QStringList files;
    const Frame& frame = m_sink->m_front;
    if (!frame.valid)
        return files;
    for (const platform::SurfaceOverlay& overlay : frame.overlays) {
        if (overlay.index < 0 || overlay.index > 16)
            continue;
        while (files.size() <= overlay.index)
            files << QString();
        files[overlay.index] = QString::fromStdString(overlay.path);
    }
    return files;
}

QImage SurfaceWidget::currentPicture() const
{
    const Frame& frame = m_sink->m_front;
    if (!frame.valid)
        return QImage();
    platform::SurfacePicture picture;
    picture.format = frame.format;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.pixels = frame.raw.data();
    std::vector<uint32_t> pixels;
    pictureToRgb32(picture, pixels);
    return QImage(reinterpret_cast<const uchar*>(pixels.data()), frame.width, frame.height, frame.width * 4,
                  QImage::Format_RGB32)
        .copy();
}

void SurfaceWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_sink->setTarget(size() * devicePixelRatio());
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
    if (!frame.valid || frame.shown.isNull()) {
        if (m_background.isNull())
            painter.fillRect(area, Qt::black);
        else
            painter.drawImage(area, m_background);
        return;
    }

    QRect source(frame.view.x, frame.view.y, frame.view.width, frame.view.height);
    if (source.isEmpty())
        source = QRect(0, 0, frame.width, frame.height);
    source = source.intersected(QRect(0, 0, frame.width, frame.height));
    const int turns = ((frame.rotation % 360) + 360) % 360 / 90;
    painter.save();
    painter.translate(area.center() + QPointF(0.5, 0.5));
    painter.rotate(90.0 * turns);
    const QSize turned = (turns % 2) ? area.size().transposed() : area.size();
    painter.drawImage(QRectF(-turned.width() / 2.0, -turned.height() / 2.0, turned.width(), turned.height()), frame.shown,
                      frame.shownSource);
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
    if (fresh)
        emit pictureShown();
}
