// The displayers on small hand-made pictures: zoom and pan limits, quarter turns, overlays and
// what reaches the surface.
#include "BitmapFile.h"
#include "CWndDisplay.h"
#include "DxRenderDisplay.h"

#include "VideoTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using platform::PictureRect;
using videotest::ScopedSurface;

struct ZoomStep {
    float scale;
    int dx;
    int dy;
};

struct GdiZoomCase {
    const char* name;
    std::vector<ZoomStep> steps;
    bool enabled;
    PictureRect view;
};

class GdiZoom : public ::testing::TestWithParam<GdiZoomCase> {};

// A 640x480 picture; the view is the part stretched over the surface while zoom is on.
TEST_P(GdiZoom, ViewFollowsTheSteps)
{
    const GdiZoomCase& c = GetParam();
    ScopedSurface window;
    CWndDisplay display;
    ASSERT_EQ(display.Init(window.handle(), 640, 480, DisplayerBase::kFormatPlanar), 0);
    for (const ZoomStep& s : c.steps)
        display.SetZoom(s.scale, s.dx, s.dy);
    EXPECT_EQ(display.zoomEnabled(), c.enabled);
    EXPECT_EQ(display.view(), c.view);
    std::vector<uint8_t> picture(640 * 480 * 3, 9);
    ASSERT_EQ(display.Display(picture.data()), 0);
    const PictureRect shown = c.enabled ? c.view : PictureRect{0, 0, 640, 480};
    EXPECT_EQ(window.surface().last().view, shown);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, GdiZoom,
    ::testing::Values(
        GdiZoomCase{"Off", {}, false, {0, 0, 640, 480}},
        GdiZoomCase{"OnShowsWhole", {{1, 0, 0}}, true, {0, 0, 640, 480}},
        GdiZoomCase{"ZoomWithoutOnIsIgnored", {{2, 0, 0}}, false, {0, 0, 640, 480}},
        GdiZoomCase{"TwiceAboutTheCentre", {{1, 0, 0}, {2, 0, 0}}, true, {160, 120, 320, 240}},
        GdiZoomCase{"PanByThree", {{1, 0, 0}, {2, 0, 0}, {-1, -3, 0}}, true, {157, 120, 320, 240}},
        GdiZoomCase{"PanClampedToTenAndFive", {{1, 0, 0}, {2, 0, 0}, {-1, -50, 50}}, true, {150, 125, 320, 240}},
        GdiZoomCase{"PanStopsAtTheEdge", {{1, 0, 0}, {2, 0, 0}, {-1, 10, 5}, {-1, 10, 5}, {-1, 10, 5}}, true, {190, 135, 320, 240}},
        GdiZoomCase{"FiveTimesIsRefused", {{1, 0, 0}, {5, 0, 0}}, true, {0, 0, 640, 480}},
        GdiZoomCase{"BelowOneShowsWhole", {{1, 0, 0}, {2, 0, 0}, {0.5f, 0, 0}}, true, {0, 0, 640, 480}},
        GdiZoomCase{"OffKeepsTheView", {{1, 0, 0}, {2, 0, 0}, {0, 0, 0}}, false, {160, 120, 320, 240}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct D3dZoomCase {
    const char* name;
    std::vector<ZoomStep> steps;
    PictureRect rect; // drawing rectangle
    PictureRect view; // part of the picture shown
};

class D3dZoom : public ::testing::TestWithParam<D3dZoomCase> {};

TEST_P(D3dZoom, DrawingRectangleFollowsTheSteps)
{
    const D3dZoomCase& c = GetParam();
    ScopedSurface window;
    DxRenderDisplay display;
    ASSERT_EQ(display.Init(window.handle(), 640, 480, DisplayerBase::kFormatPlanar), 0);
    for (const ZoomStep& s : c.steps)
        display.SetZoom(s.scale, s.dx, s.dy);
    EXPECT_EQ(display.zoomRect(), c.rect);
    std::vector<uint8_t> picture(640 * 480 * 3 / 2, 16);
    ASSERT_EQ(display.Display(picture.data()), 0);
    EXPECT_EQ(window.surface().last().view, c.view);
    EXPECT_EQ(window.surface().last().format, platform::PictureFormat::Yuv420p);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, D3dZoom,
    ::testing::Values(
        D3dZoomCase{"Whole", {}, {0, 0, 640, 480}, {0, 0, 640, 480}},
        D3dZoomCase{"Twice", {{1, 0, 0}, {2, 0, 0}}, {-320, -240, 1280, 960}, {160, 120, 320, 240}},
        D3dZoomCase{"AtMostThreeTimes", {{1, 0, 0}, {8, 0, 0}}, {-640, -480, 1920, 1440}, {213, 160, 213, 160}},
        D3dZoomCase{"UpToOnePointOTwoStaysWhole", {{1, 0, 0}, {1.02f, 0, 0}}, {0, 0, 640, 480}, {0, 0, 640, 480}},
        D3dZoomCase{"PanClamped", {{1, 0, 0}, {2, 0, 0}, {-1, -50, 50}}, {-330, -235, 1280, 960}, {165, 117, 320, 240}},
        D3dZoomCase{"PanKeepsTheWindowCovered", {{1, 0, 0}, {2, 0, 0}, {-1, 10, 5}}, {-310, -235, 1280, 960}, {155, 117, 320, 240}},
        D3dZoomCase{"PanOfTheWholePictureDoesNothing", {{-1, 10, 5}}, {0, 0, 640, 480}, {0, 0, 640, 480}},
        D3dZoomCase{"OffResets", {{1, 0, 0}, {2, 0, 0}, {0, 0, 0}}, {0, 0, 640, 480}, {0, 0, 640, 480}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A 3x2 BGR picture whose pixel (x, y) holds (x, y, 7).
std::vector<uint8_t> numbered(int w, int h)
{
    std::vector<uint8_t> p;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            p.push_back(static_cast<uint8_t>(x));
            p.push_back(static_cast<uint8_t>(y));
            p.push_back(7);
        }
    return p;
}

struct TurnCase {
    int degrees;
    int width;
    int height;
    // Source (x, y) of the turned picture's first row, left to right.
    std::vector<std::pair<int, int>> firstRow;
};

class GdiRotation : public ::testing::TestWithParam<TurnCase> {};

TEST_P(GdiRotation, PixelsAreTurnedClockwise)
{
    const TurnCase& c = GetParam();
    ScopedSurface window;
    CWndDisplay display;
    display.Init(window.handle(), 3, 2, DisplayerBase::kFormatPlanar);
    display.SetRotation(c.degrees);
    const auto picture = numbered(3, 2);
    ASSERT_EQ(display.Display(picture.data()), 0);
    const auto shown = window.surface().last();
    EXPECT_EQ(shown.width, c.width);
    EXPECT_EQ(shown.height, c.height);
    EXPECT_EQ(shown.rotation, 0) << "the GDI displayer turns the pixels itself";
    for (size_t i = 0; i < c.firstRow.size(); ++i) {
        EXPECT_EQ(shown.pixels[i * 3], c.firstRow[i].first) << "pixel " << i;
        EXPECT_EQ(shown.pixels[i * 3 + 1], c.firstRow[i].second) << "pixel " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, GdiRotation,
                         ::testing::Values(TurnCase{0, 3, 2, {{0, 0}, {1, 0}, {2, 0}}},
                                           TurnCase{45, 3, 2, {{0, 0}, {1, 0}, {2, 0}}},
                                           TurnCase{90, 2, 3, {{0, 1}, {0, 0}}},
                                           TurnCase{180, 3, 2, {{2, 1}, {1, 1}, {0, 1}}},
                                           TurnCase{270, 2, 3, {{2, 0}, {2, 1}}}),
                         [](const auto& testInfo) { return "Deg" + std::to_string(testInfo.param.degrees); });

TEST(D3dRotation, TurnIsLeftToTheSurfaceAndOddAnglesDrawUpright)
{
    ScopedSurface window;
    DxRenderDisplay display;
    ASSERT_EQ(display.Init(window.handle(), 4, 2, DisplayerBase::kFormatPlanar), 0);
    std::vector<uint8_t> picture(12, 16);
    for (auto [degrees, expected] : std::vector<std::pair<int, int>>{{0, 0}, {90, 90}, {180, 180}, {270, 270}, {45, 0}}) {
        display.SetRotation(degrees);
        display.Display(picture.data());
        EXPECT_EQ(window.surface().last().rotation, expected) << degrees;
    }
}

class Overlays : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = ::testing::TempDir() + "overlay-" + std::to_string(::getpid());
        std::filesystem::create_directories(m_dir);
        std::vector<uint8_t> pixels(20 * 20 * 3, 200);
        ASSERT_TRUE(WriteBitmapFile(m_dir + "/icon.bmp", pixels.data(), 20, 20));
        std::ofstream(m_dir + "/text.bmp") << "not a bitmap";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string m_dir;
};

TEST_F(Overlays, GdiDrawsOnlyBitmapsInARowFromTheCorner)
{
    ScopedSurface window;
    CWndDisplay display;
    display.Init(window.handle(), 64, 48, DisplayerBase::kFormatPlanar);
    display.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 0);
    display.LoadPicture((m_dir + "/text.bmp").c_str(), 0, 0, 0, 0, 1);
    display.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 2);
    display.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 3);
    const auto picture = numbered(64, 48);
    display.Display(picture.data());
    auto overlays = window.surface().last().overlays;
    ASSERT_EQ(overlays.size(), 2u);
    EXPECT_EQ(overlays[0].index, 0);
    EXPECT_EQ(overlays[0].fromRight, 30);
    EXPECT_EQ(overlays[1].index, 2);
    EXPECT_EQ(overlays[1].fromRight, 90);
    EXPECT_EQ(overlays[1].fromBottom, 30);
    EXPECT_EQ(overlays[1].width, 20);
    EXPECT_FALSE(overlays[1].inPicture);
    ASSERT_TRUE(overlays[1].bitmap);
    EXPECT_EQ(overlays[1].bitmap->size(), 20u * 20u * 3u + 54u);
    display.LoadPicture("", 0, 0, 0, 0, 0);
    display.DisplayWithLabel(picture.data(), "ignored");
    EXPECT_TRUE(window.surface().last().overlays.empty()) << "no overlays with a label";
    display.Display(picture.data());
    ASSERT_EQ(window.surface().last().overlays.size(), 1u);
}

TEST_F(Overlays, D3dPlacesThemInPicturePixelsAndNeedsItsRenderer)
{
    ScopedSurface window;
    DxRenderDisplay unset;
    unset.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 0);
    DxRenderDisplay display;
    ASSERT_EQ(display.Init(window.handle(), 640, 480, DisplayerBase::kFormatPlanar), 0);
    display.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 1);
    display.LoadPicture((m_dir + "/icon.bmp").c_str(), 0, 0, 0, 0, 3);
    std::vector<uint8_t> picture(640 * 480 * 3 / 2, 16);
    display.Display(picture.data());
    auto overlays = window.surface().last().overlays;
    ASSERT_EQ(overlays.size(), 1u);
    EXPECT_EQ(overlays[0].index, 1);
    EXPECT_EQ(overlays[0].fromRight, 60); // left = 640 - 30 - 30
    EXPECT_EQ(overlays[0].fromBottom, 30);
    EXPECT_EQ(overlays[0].width, 25);
    EXPECT_EQ(overlays[0].height, 25);
    EXPECT_TRUE(overlays[0].inPicture);
    display.DisplayWithLabel(picture.data(), "CAM 1");
    EXPECT_EQ(window.surface().last().label, "CAM 1");
    EXPECT_TRUE(window.surface().last().overlays.empty());
}

TEST(DisplayerSetUp, D3dNeedsASurfaceThatTakesYuvGdiDrawsWhereverThereIsOne)
{
    DxRenderDisplay none;
    EXPECT_EQ(none.Init(987654, 640, 480, DisplayerBase::kFormatPlanar), -1);
    std::vector<uint8_t> yuv(640 * 480 * 3 / 2, 16);
    EXPECT_EQ(none.Display(yuv.data()), -1);
    EXPECT_EQ(none.SaveSnapshot("/tmp/never.bmp"), -1);
    ScopedSurface bgrOnly(false);
    DxRenderDisplay refused;
    EXPECT_EQ(refused.Init(bgrOnly.handle(), 640, 480, DisplayerBase::kFormatPlanar), -1);
    CWndDisplay gdi;
    EXPECT_EQ(gdi.Init(987654, 640, 480, DisplayerBase::kFormatPlanar), 0);
    std::vector<uint8_t> bgr(640 * 480 * 3, 1);
    EXPECT_EQ(gdi.Display(bgr.data()), -1) << "no surface, nothing drawn";
    EXPECT_EQ(gdi.Init(bgrOnly.handle(), 640, 480, DisplayerBase::kFormatPlanar), 0);
    EXPECT_EQ(gdi.Display(bgr.data()), 0);
}

TEST(SurfaceRegistry, HandlesMapToTheirSurfacesUntilUnregistered)
{
    auto surface = std::make_shared<videotest::RecordingSurface>();
    EXPECT_FALSE(platform::RegisterVideoSurface(0, surface));
    EXPECT_FALSE(platform::RegisterVideoSurface(5, nullptr));
    EXPECT_TRUE(platform::RegisterVideoSurface(5, surface));
    EXPECT_EQ(platform::FindVideoSurface(5), surface);
    platform::UnregisterVideoSurface(5);
    EXPECT_EQ(platform::FindVideoSurface(5), nullptr);
}

TEST(PictureConversion, PlanarAndNv12GiveTheSameBgr)
{
    // 2x2: luma 16/235, chroma neutral then red-ish.
    const std::vector<uint8_t> planar = {16, 235, 235, 16, 90, 240};
    const std::vector<uint8_t> nv12 = {16, 235, 235, 16, 90, 240};
    std::vector<uint8_t> a;
    std::vector<uint8_t> b;
    platform::PictureToBgr(platform::PictureFormat::Yuv420p, planar.data(), 2, 2, a);
    platform::PictureToBgr(platform::PictureFormat::Nv12, nv12.data(), 2, 2, b);
    EXPECT_EQ(a, b);
    const std::vector<uint8_t> grey = {16, 235, 235, 16, 128, 128};
    platform::PictureToBgr(platform::PictureFormat::Yuv420p, grey.data(), 2, 2, a);
    EXPECT_EQ(a, (std::vector<uint8_t>{0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0}));
}

} // namespace
