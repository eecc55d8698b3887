// The video surface widget: what libLumora's displayers hand it is what the pane shows, newest
// picture only, with one repaint however many pictures arrive first.
#include "liveview/SurfaceWidget.h"

#include "VideoSurface.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// A BGR24 picture whose left half and right half have their own colours.
struct TwoColourPicture {
    int width;
    int height;
    std::vector<uint8_t> pixels;
    TwoColourPicture(int w, int h, QColor left, QColor right) : width(w), height(h), pixels(size_t(w) * h * 3)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const QColor c = x < w / 2 ? left : right;
                uint8_t* p = &pixels[(size_t(y) * w + x) * 3];
                p[0] = uint8_t(c.blue());
                p[1] = uint8_t(c.green());
                p[2] = uint8_t(c.red());
            }
    }
    platform::SurfacePicture picture(int rotation = 0, platform::PictureRect view = {}) const
    {
        platform::SurfacePicture p;
        p.format = platform::PictureFormat::Bgr24;
        p.width = width;
        p.height = height;
        p.pixels = pixels.data();
        p.view = view.width ? view : platform::PictureRect{0, 0, width, height};
        p.rotation = rotation;
        return p;
    }
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 16 && std::abs(a.green() - b.green()) < 16 && std::abs(a.blue() - b.blue()) < 16;
}

class SurfaceWidgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_widget = std::make_unique<SurfaceWidget>();
        m_widget->resize(80, 80);
        m_widget->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_widget.get()));
        m_surface = platform::FindVideoSurface(m_widget->handle());
        ASSERT_NE(m_surface, nullptr);
    }
    QColor shownAt(int x, int y) { return m_widget->grab().toImage().pixelColor(x, y); }

    std::unique_ptr<SurfaceWidget> m_widget;
    std::shared_ptr<platform::VideoSurface> m_surface;
};

TEST_F(SurfaceWidgetTest, ManyPicturesBeforeThePaintGiveOnePaintOfTheNewest)
{
    const TwoColourPicture red(16, 16, Qt::red, Qt::red);
    const TwoColourPicture green(16, 16, Qt::green, Qt::green);
    for (int i = 0; i < 200; ++i)
        m_surface->present((i == 199 ? green : red).picture());
    ASSERT_TRUE(waitFor([&] { return m_widget->picturesPainted() >= 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(m_widget->picturesPresented(), 200u);
    EXPECT_EQ(m_widget->picturesPainted(), 1u);
    EXPECT_TRUE(near(shownAt(40, 40), Qt::green));
}

TEST_F(SurfaceWidgetTest, PicturesFromWorkerThreadsEndOnTheLastOne)
{
    const TwoColourPicture red(32, 18, Qt::red, Qt::red);
    const TwoColourPicture blue(32, 18, Qt::blue, Qt::blue);
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 300; ++i)
                m_surface->present(red.picture());
        });
    for (std::thread& worker : workers)
        worker.join();
    m_surface->present(blue.picture());
    ASSERT_TRUE(waitFor([&] { return near(shownAt(40, 40), Qt::blue); }));
    EXPECT_EQ(m_widget->picturesPresented(), 901u);
    EXPECT_LE(m_widget->picturesPainted(), m_widget->picturesPresented());
    EXPECT_EQ(m_widget->currentPicture().size(), QSize(32, 18));
}

// Where the left (red) half of a picture ends up for each rotation and view.
struct Placement {
    const char* name;
    int rotation;
    platform::PictureRect view;
    QPoint probe;
    QColor expected;
};

class SurfacePlacement : public SurfaceWidgetTest, public ::testing::WithParamInterface<Placement> {};

TEST_P(SurfacePlacement, PictureIsTurnedAndCutAsAsked)
{
    const TwoColourPicture picture(40, 40, Qt::red, Qt::blue);
    m_surface->present(picture.picture(GetParam().rotation, GetParam().view));
    ASSERT_TRUE(waitFor([&] { return m_widget->picturesPainted() >= 1; }));
    EXPECT_TRUE(near(shownAt(GetParam().probe.x(), GetParam().probe.y()), GetParam().expected))
        << shownAt(GetParam().probe.x(), GetParam().probe.y()).name().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Rotations, SurfacePlacement,
                         ::testing::Values(Placement{"Upright", 0, {}, {10, 40}, Qt::red},
                                           Placement{"UprightRight", 0, {}, {70, 40}, Qt::blue},
                                           Placement{"QuarterTurn", 90, {}, {40, 10}, Qt::red},
                                           Placement{"HalfTurn", 180, {}, {10, 40}, Qt::blue},
                                           Placement{"ThreeQuarterTurn", 270, {}, {40, 10}, Qt::blue},
                                           Placement{"ZoomedIntoRightHalf", 0, {20, 0, 20, 40}, {10, 40}, Qt::blue},
                                           Placement{"ZoomedIntoLeftHalf", 0, {0, 0, 20, 40}, {70, 40}, Qt::red}),
                         [](const ::testing::TestParamInfo<Placement>& placement) { return std::string(placement.param.name); });

// A pane smaller than the picture gets the picture scaled to its size once when it arrives; what
// it shows is what painting the whole picture into the pane would show (each shown pixel matches
// the whole picture drawn the same way, give or take one pixel at a block's edge, inside its outermost pixels), for every
// format, rotation and zoom, and on a pane that grows past the picture's size.
struct ScaledCase {
    const char* name;
    platform::PictureFormat format;
    int rotation;
    platform::PictureRect view;
    QSize pane;
};

class SurfaceScalesOnArrival : public SurfaceWidgetTest, public ::testing::WithParamInterface<ScaledCase> {};

TEST_P(SurfaceScalesOnArrival, ShownAsTheWholePictureDrawnIntoThePane)
{
    const ScaledCase& c = GetParam();
    const int w = 320, h = 176;
    // Blocks of 16 pixels, each of its own colour, as BGR24 and in the asked format.
    std::vector<uint8_t> bgr(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &bgr[(size_t(y) * w + x) * 3];
            p[0] = uint8_t((x / 16) * 12);
            p[1] = uint8_t((y / 16) * 22);
            p[2] = uint8_t(((x / 16 + y / 16) % 2) * 200 + 20);
        }
    std::vector<uint8_t> pixels = bgr;
    if (c.format != platform::PictureFormat::Bgr24) {
        // Y, U, V by the usual BT.601 limited-range sums; chroma from each 2x2 block's top-left pixel.
        pixels.assign(size_t(w) * h * 3 / 2, 0);
        auto yuv = [&](int x, int y, int& Y, int& U, int& V) {
            const uint8_t* p = &bgr[(size_t(y) * w + x) * 3];
            const int b = p[0], g = p[1], r = p[2];
            Y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
            U = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
            V = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
        };
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                int Y, U, V;
                yuv(x, y, Y, U, V);
                pixels[size_t(y) * w + x] = uint8_t(Y);
                if (x % 2 == 0 && y % 2 == 0) {
                    const size_t cw = w / 2, ch = h / 2, cx = x / 2, cy = y / 2;
                    if (c.format == platform::PictureFormat::Yuv420p) {
                        pixels[size_t(w) * h + cy * cw + cx] = uint8_t(U);
                        pixels[size_t(w) * h + cw * ch + cy * cw + cx] = uint8_t(V);
                    } else {
                        pixels[size_t(w) * h + cy * 2 * cw + cx * 2] = uint8_t(U);
                        pixels[size_t(w) * h + cy * 2 * cw + cx * 2 + 1] = uint8_t(V);
                    }
                }
            }
        platform::PictureToBgr(c.format, pixels.data(), w, h, bgr);
    }
    m_widget->resize(c.pane);
    QCoreApplication::processEvents();
    ASSERT_EQ(m_widget->size(), c.pane);

    platform::SurfacePicture picture;
    picture.format = c.format;
    picture.width = w;
    picture.height = h;
    picture.pixels = pixels.data();
    picture.view = c.view.width ? c.view : platform::PictureRect{0, 0, w, h};
    picture.rotation = c.rotation;
    m_surface->present(picture);
    ASSERT_TRUE(waitFor([&] { return m_widget->picturesPainted() >= 1; }));
    EXPECT_EQ(m_widget->currentPicture().size(), QSize(w, h));

    // The whole picture drawn into the pane.
    QImage whole(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &bgr[(size_t(y) * w + x) * 3];
            whole.setPixel(x, y, qRgb(p[2], p[1], p[0]));
        }
    QImage expected(c.pane, QImage::Format_RGB32);
    {
        QPainter painter(&expected);
        const QRect area = expected.rect();
        const int turns = c.rotation / 90;
        painter.translate(area.center() + QPointF(0.5, 0.5));
        painter.rotate(90.0 * turns);
        const QSize turned = (turns % 2) ? area.size().transposed() : area.size();
        painter.drawImage(QRectF(-turned.width() / 2.0, -turned.height() / 2.0, turned.width(), turned.height()), whole,
                          QRect(picture.view.x, picture.view.y, picture.view.width, picture.view.height));
    }
    const QImage shown = m_widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shown.size(), expected.size());
    auto close = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) <= 3 && std::abs(qGreen(a) - qGreen(b)) <= 3 && std::abs(qBlue(a) - qBlue(b)) <= 3;
    };
    // The outermost pixels lie half outside the drawn rectangle; they are left out.
    int wrong = 0;
    for (int y = 1; y + 1 < shown.height(); ++y)
        for (int x = 1; x + 1 < shown.width(); ++x) {
            bool matched = false;
            for (int dy = -1; dy <= 1 && !matched; ++dy)
                for (int dx = -1; dx <= 1 && !matched; ++dx) {
                    const QPoint q(x + dx, y + dy);
                    matched = expected.rect().contains(q) && close(shown.pixel(x, y), expected.pixel(q));
                }
            if (!matched && ++wrong <= 3)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << shown.pixel(x, y) << " not "
                              << expected.pixel(x, y);
        }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Panes, SurfaceScalesOnArrival,
    ::testing::Values(ScaledCase{"BgrSmallPane", platform::PictureFormat::Bgr24, 0, {}, {80, 45}},
                      ScaledCase{"BgrOddPane", platform::PictureFormat::Bgr24, 0, {}, {97, 61}},
                      ScaledCase{"PlanarSmallPane", platform::PictureFormat::Yuv420p, 0, {}, {120, 66}},
                      ScaledCase{"Nv12SmallPane", platform::PictureFormat::Nv12, 0, {}, {120, 66}},
                      ScaledCase{"QuarterTurn", platform::PictureFormat::Bgr24, 90, {}, {60, 100}},
                      ScaledCase{"HalfTurn", platform::PictureFormat::Yuv420p, 180, {}, {100, 60}},
                      ScaledCase{"ThreeQuarterTurn", platform::PictureFormat::Nv12, 270, {}, {50, 90}},
                      ScaledCase{"Zoomed", platform::PictureFormat::Bgr24, 0, {96, 32, 160, 96}, {80, 48}},
                      ScaledCase{"ZoomedPastThePane", platform::PictureFormat::Bgr24, 0, {96, 32, 64, 48}, {160, 120}},
                      ScaledCase{"PaneLargerThanPicture", platform::PictureFormat::Yuv420p, 0, {}, {400, 220}}),
    [](const ::testing::TestParamInfo<ScaledCase>& c) { return std::string(c.param.name); });

TEST_F(SurfaceWidgetTest, PlanarPicturesAreShownInColour)
{
    // Pure blue in BT.601 limited range: Y 41, U 240, V 110.
    const int w = 16, h = 16;
    std::vector<uint8_t> yuv(size_t(w) * h * 3 / 2);
    std::fill(yuv.begin(), yuv.begin() + w * h, 41);
    std::fill(yuv.begin() + w * h, yuv.begin() + w * h + w * h / 4, 240);
    std::fill(yuv.begin() + w * h + w * h / 4, yuv.end(), 110);
    platform::SurfacePicture picture;
    picture.format = platform::PictureFormat::Yuv420p;
    picture.width = w;
    picture.height = h;
    picture.pixels = yuv.data();
    picture.view = {0, 0, w, h};
    m_surface->present(picture);
    ASSERT_TRUE(waitFor([&] { return m_widget->picturesPainted() >= 1; }));
    EXPECT_TRUE(near(shownAt(40, 40), Qt::blue)) << shownAt(40, 40).name().toStdString();
}

// The picture kept for painting is the displayer's picture pixel for pixel: 24-bit pictures
// unchanged, planar and NV12 ones by the same sums as platform::PictureToBgr; sizes whose pixel
// count leaves a remainder after the fast path's groups of four, and odd sizes with their chroma.
struct KeptPicture {
    const char* name;
    platform::PictureFormat format;
    int width;
    int height;
};

class SurfaceKeepsPixels : public SurfaceWidgetTest, public ::testing::WithParamInterface<KeptPicture> {};

TEST_P(SurfaceKeepsPixels, EveryPixelIsTheDisplayersPixel)
{
    const KeptPicture& kept = GetParam();
    std::vector<uint8_t> pixels(platform::PictureBytes(kept.format, kept.width, kept.height));
    ASSERT_FALSE(pixels.empty());
    uint32_t seed = 12345;
    for (uint8_t& byte : pixels) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    platform::SurfacePicture picture;
    picture.format = kept.format;
    picture.width = kept.width;
    picture.height = kept.height;
    picture.pixels = pixels.data();
    picture.view = {0, 0, kept.width, kept.height};
    m_surface->present(picture);
    ASSERT_TRUE(waitFor([&] { return m_widget->picturesPainted() >= 1; }));
    std::vector<uint8_t> bgr;
    platform::PictureToBgr(kept.format, pixels.data(), kept.width, kept.height, bgr);
    const QImage shown = m_widget->currentPicture();
    ASSERT_EQ(shown.size(), QSize(kept.width, kept.height));
    int wrong = 0;
    for (int y = 0; y < kept.height; ++y)
        for (int x = 0; x < kept.width; ++x) {
            const uint8_t* p = &bgr[(size_t(y) * kept.width + x) * 3];
            if (shown.pixel(x, y) != qRgb(p[2], p[1], p[0]) && ++wrong <= 3)
                ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << shown.pixel(x, y) << " not "
                              << qRgb(p[2], p[1], p[0]);
        }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, SurfaceKeepsPixels,
                         ::testing::Values(KeptPicture{"Bgr1x1", platform::PictureFormat::Bgr24, 1, 1},
                                           KeptPicture{"Bgr7x5", platform::PictureFormat::Bgr24, 7, 5},
                                           KeptPicture{"Bgr33x17", platform::PictureFormat::Bgr24, 33, 17},
                                           KeptPicture{"Bgr64x36", platform::PictureFormat::Bgr24, 64, 36},
                                           KeptPicture{"Planar64x36", platform::PictureFormat::Yuv420p, 64, 36},
                                           KeptPicture{"Planar33x17", platform::PictureFormat::Yuv420p, 33, 17},
                                           KeptPicture{"Nv12x64x36", platform::PictureFormat::Nv12, 64, 36},
                                           KeptPicture{"Nv12x33x17", platform::PictureFormat::Nv12, 33, 17}),
                         [](const ::testing::TestParamInfo<KeptPicture>& kept) { return std::string(kept.param.name); });

TEST_F(SurfaceWidgetTest, ClearedSurfaceShowsItsBackgroundAgain)
{
    QImage background(8, 8, QImage::Format_RGB32);
    background.fill(Qt::yellow);
    m_widget->setBackground(background);
    EXPECT_TRUE(near(shownAt(40, 40), Qt::yellow));
    const TwoColourPicture red(16, 16, Qt::red, Qt::red);
    m_surface->present(red.picture());
    ASSERT_TRUE(waitFor([&] { return m_widget->hasPicture(); }));
    EXPECT_TRUE(near(shownAt(40, 40), Qt::red));
    m_widget->clearPicture();
    EXPECT_FALSE(m_widget->hasPicture());
    EXPECT_TRUE(near(shownAt(40, 40), Qt::yellow));
}

TEST(SurfaceWidgetLifetime, HandlesAreUniqueAndGoWithTheWidget)
{
    auto first = std::make_unique<SurfaceWidget>();
    auto second = std::make_unique<SurfaceWidget>();
    EXPECT_NE(first->handle(), 0);
    EXPECT_NE(first->handle(), second->handle());
    const int handle = first->handle();
    std::shared_ptr<platform::VideoSurface> held = platform::FindVideoSurface(handle);
    ASSERT_NE(held, nullptr);
    first.reset();
    EXPECT_EQ(platform::FindVideoSurface(handle), nullptr);
    // A decoder that still holds the surface may present once more: it is dropped quietly.
    const TwoColourPicture red(16, 16, Qt::red, Qt::red);
    held->present(red.picture());
    QCoreApplication::processEvents();
}

TEST(SurfaceWidgetLifetime, WidgetCanGoWhileAWorkerPresents)
{
    auto widget = std::make_unique<SurfaceWidget>();
    widget->show();
    std::shared_ptr<platform::VideoSurface> held = platform::FindVideoSurface(widget->handle());
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        const TwoColourPicture red(64, 36, Qt::red, Qt::red);
        while (!stop)
            held->present(red.picture());
    });
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    widget.reset();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    stop = true;
    worker.join();
}

} // namespace
