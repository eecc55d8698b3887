#include "LiveGridSupport.h"

#include "ClientPaths.h"
#include "DevTreeView.h"
#include "DeviceDatabases.h"
#include "liveview/SurfaceWidget.h"
#include "ViewTree.h"
#include "libLumora.h"
#include "liveview/CVideoWnd.h"
#include "liveview/VideoFrame.h"

#include <QTest>
#include <QTreeWidgetItem>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace gridtest {

std::string GridVideo(int width, int height)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("lumora-grid-" + std::to_string(::getuid()) + "-" + std::to_string(width) + "x" +
                                        std::to_string(height) + ".h264");
    if (std::filesystem::exists(path))
        return path.string();
    const std::string part = path.string() + "." + std::to_string(::getpid());
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
                                std::to_string(height) +
                                ":rate=25 -frames:v 50 -preset ultrafast -pix_fmt yuv420p -c:v libx264 -bf 0 -g 10 -f h264 " + part;
    if (std::system(command.c_str()) != 0)
        return {};
    std::filesystem::rename(part, path);
    return path.string();
}

SharedCameras* SharedCameras::get()
{
    static std::unique_ptr<SharedCameras> cameras;
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto made = std::make_unique<SharedCameras>();
        const std::string video = GridVideo(kWidth, kHeight);
        bool ok = !video.empty();
        for (int i = 0; ok && i < kCount; ++i) {
            auto camera = std::make_unique<frametest::Camera>(frametest::uniqueUid("GRID"), "pw1");
            camera->setMedia(video, kWidth, kHeight);
            ok = camera->launch();
            made->m_cameras.push_back(std::move(camera));
        }
        for (const auto& camera : made->m_cameras)
            ok = ok && camera->waitRegistered();
        if (ok)
            cameras = std::move(made);
    }
    return cameras.get();
}

bool Plays(const std::string& uid)
{
    return (GetPlayStateMask(uid) & 0x01) != 0;
}

bool Plays(const QString& uid)
{
    return Plays(uid.toStdString());
}

GridFrame::GridFrame(const std::vector<std::string>& uids) : m_uids(uids)
{
    // The status pictures the panes draw over their video, as the program finds them beside it.
    SetResourceFolder(QStringLiteral(LUMORA_BINARY_DIR "/client"));
    std::vector<DevInfoRow> rows;
    int n = 0;
    for (const std::string& uid : uids)
        rows.push_back({QString::fromStdString(uid), "pw1", QStringLiteral("cam%1").arg(++n), QStringLiteral("02:4c:00:00:01:%1").arg(n)});
    if (DevInfoTable::store(m_data.path(), rows) != DevInfoTable::StoreResult::Stored)
        return;
    m_frame = std::make_unique<CMainFrame>();
    m_frame->resize(1200, 800);
    m_frame->show();
    if (!QTest::qWaitForWindowExposed(m_frame.get()))
        return;
    m_view = dynamic_cast<CRealTimePlayView*>(m_frame->view(CMainFrame::LiveView));
    if (!m_view)
        return;
    m_frame->devTreePane()->tree()->expandAll();
    // Ready when the tree has the login results: every device shows online.
    CViewTree* tree = m_frame->devTreePane()->tree();
    m_ready = frametest::waitFor(
        [&] {
            for (const std::string& uid : uids) {
                QTreeWidgetItem* node = tree->findDevice(QString::fromStdString(uid));
                if (!node || CViewTree::loggedIn(node) != 1)
                    return false;
            }
            return true;
        },
        60000);
}

GridFrame::~GridFrame()
{
    if (!m_frame)
        return;
    m_frame->ShutDown();
    // A device that played closes its link once the camera has answered the stop; the next test
    // logs in afresh only after that.
    (void)frametest::waitFor(
        [&] {
            for (const std::string& uid : m_uids)
                if (LoginState(uid) != 0)
                    return false;
            return true;
        },
        20000);
}

QPoint GridFrame::centre(int position) const
{
    const PaneRect& r = m_view->paneRects().at(static_cast<size_t>(position));
    return QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

bool GridFrame::doubleClickDevice(const std::string& uid)
{
    CViewTree* tree = m_frame->devTreePane()->tree();
    QTreeWidgetItem* item = tree->findDevice(QString::fromStdString(uid));
    if (!item)
        return false;
    tree->scrollToItem(item);
    const QPoint at = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
    return true;
}

void GridFrame::dropDevice(const std::string& uid, QPoint point)
{
    m_frame->devTreePane()->tree()->StartLoginThread(QString::fromStdString(uid), point);
}

bool PicturesArrive(VideoFrame* cell, int more, int timeoutMs)
{
    SurfaceWidget* surface = cell->videoPane()->surface();
    const uint64_t from = surface->picturesPresented();
    return frametest::waitFor([&] { return surface->picturesPresented() >= from + static_cast<uint64_t>(more); }, timeoutMs);
}

} // namespace gridtest
