#include "PlaybackFixture.h"

#include "CRecViewTree.h"
#include "DeviceDatabases.h"
#include "DevTreeView.h"
#include "MainFrame.h"
#include "ViewTree.h"
#include "liveview/CDevRecTreeView.h"
#include "liveview/CHisPlayView.h"
#include "libLumora.h"

#include <QDir>
#include <QFile>
#include <QTreeWidgetItem>
#include <json/json.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

namespace playbacktest {

namespace fs = std::filesystem;

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    return frametest::waitFor(done, timeoutMs);
}

std::string entryName(const char* hour, int i)
{
    char name[40];
    std::snprintf(name, sizeof name, "%s%02d00-%s%02d59.h264", hour, i, hour, i);
    return name;
}

std::string encodedClip()
{
    static std::mutex mutex;
    static std::string made;
    std::lock_guard<std::mutex> lock(mutex);
    if (!made.empty())
        return made;
    // Encoded once for all the test processes of this user (each test runs in a process of its
    // own): the clip appears whole by a rename, so a process never reads one being written.
    const fs::path path = fs::temp_directory_path() / ("lumora-playback-clip-" + std::to_string(::getuid()) + "-" +
                                                       std::to_string(kClipFrames) + ".h264");
    if (!fs::exists(path)) {
        const std::string part = path.string() + "." + std::to_string(::getpid());
        const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v " +
                                    std::to_string(kClipFrames) +
                                    " -preset ultrafast -pix_fmt yuv420p -c:v libx264 -bf 0 -g 25 -f h264 " + part;
        std::error_code error;
        if (std::system(command.c_str()) != 0 || (fs::rename(part, path, error), error)) {
            fs::remove(part, error);
            return {};
        }
    }
    made = path.string();
    return made;
}

const std::vector<char>& blobBytes()
{
    static const std::vector<char> bytes = [] {
        std::vector<char> b(kBlobSize);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<char>((i * 2654435761u) >> 13);
        return b;
    }();
    return bytes;
}

std::vector<char> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    return std::vector<char>(bytes.begin(), bytes.end());
}

CardCamera::CardCamera(const char* prefix) : m_uid(frametest::uniqueUid(prefix))
{
    const fs::path sd = fs::path(m_dir.path().toStdString()) / "sd";
    for (const Hour& hour : kHours) {
        const fs::path folder = sd / kDay / hour.name;
        fs::create_directories(folder);
        for (int i = 0; i < hour.entries; ++i)
            std::ofstream(folder / entryName(hour.name, i), std::ios::binary) << std::string(static_cast<size_t>(i) * 300 + 7, 'r');
    }
    const fs::path clipFolder = sd / kClipDay / kClipHour;
    fs::create_directories(clipFolder);
    const std::string clip = encodedClip();
    if (!clip.empty()) {
        fs::copy_file(clip, clipFolder / kClip, fs::copy_options::overwrite_existing);
        fs::copy_file(clip, clipFolder / kClip2, fs::copy_options::overwrite_existing);
    }
    std::ofstream(clipFolder / kBlob, std::ios::binary).write(blobBytes().data(), static_cast<std::streamsize>(kBlobSize));
    // Live video from the same clip, so that a local recording of it can be made.
    m_camera = std::make_unique<frametest::Camera>(m_uid, "pw1", m_dir.path().toStdString());
    if (!clip.empty())
        m_camera->setMedia(clip, 320, 240);
}

bool CardCamera::launch()
{
    return !encodedClip().empty() && m_camera->launch();
}

std::vector<std::string> recordOpDocuments(frametest::Camera& camera)
{
    std::vector<std::string> docs;
    for (const std::string& body : camera.requestBodies(1078)) {
        Json::Value root;
        Json::Reader().parse(body, root);
        docs.push_back(Json::FastWriter().write(root["rfop"]));
    }
    return docs;
}

std::vector<int> recordOps(frametest::Camera& camera)
{
    std::vector<int> ops;
    for (const std::string& doc : recordOpDocuments(camera)) {
        Json::Value root;
        Json::Reader().parse(doc, root);
        ops.push_back(root["op"].asInt());
    }
    return ops;
}

std::vector<std::pair<int, int>> pageRequests(frametest::Camera& camera, const std::string& folder)
{
    std::vector<std::pair<int, int>> pages;
    for (const std::string& body : camera.requestBodies(1076)) {
        Json::Value root;
        Json::Reader().parse(body, root);
        const Json::Value& page = root["lp"];
        if (page["p"].asString() == folder)
            pages.emplace_back(page["s"].asInt(), page["c"].asInt());
    }
    return pages;
}

PlaybackSession::PlaybackSession(int cameras, const char* prefix, const char* language)
    : m_data(QString::fromLatin1(language), true)
{
    std::vector<DevInfoRow> rows;
    for (int i = 0; i < cameras; ++i) {
        m_cameras.push_back(std::make_unique<CardCamera>(prefix));
        if (!m_cameras.back()->launch())
            return;
        rows.push_back({m_cameras.back()->quid(), "pw1", QStringLiteral("camera %1").arg(i + 1), QString()});
    }
    for (const auto& cam : m_cameras)
        if (!cam->camera().waitRegistered())
            return;
    if (DevInfoTable::store(m_data.path(), rows) != DevInfoTable::StoreResult::Stored)
        return;
    m_frame = std::make_unique<CMainFrame>();
    pane()->setTimerIntervals(10, 10, 20);
    pane()->tree()->setPageIntervalMs(10);
    view()->setTimerIntervals(20, 20);
    m_frame->resize(1100, 700);
    m_frame->show();
    m_frame->OnDeviceRecordMode();
    // Logged in, not only connected: a camera answers nothing before its login.
    m_ready = playbacktest::waitFor([&] {
        for (const auto& cam : m_cameras) {
            QTreeWidgetItem* node = m_frame->devTreePane()->tree()->findDevice(cam->quid());
            if (!node || CViewTree::loggedIn(node) != 1)
                return false;
        }
        return true;
    });
}

PlaybackSession::~PlaybackSession()
{
    if (m_frame)
        m_frame->ShutDown();
    m_frame.reset();
}

CDevRecTreeView* PlaybackSession::pane() const
{
    return m_frame->findChild<CDevRecTreeView*>();
}

CHisPlayView* PlaybackSession::view() const
{
    return dynamic_cast<CHisPlayView*>(m_frame->view(CMainFrame::PlaybackView));
}

QTreeWidgetItem* PlaybackSession::child(QTreeWidgetItem* parent, const QString& text) const
{
    if (!parent)
        return nullptr;
    for (int i = 0; i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == text)
            return parent->child(i);
    return nullptr;
}

bool PlaybackSession::listDevice(const QString& uid)
{
    QTreeWidgetItem* node = pane()->deviceNode(uid);
    if (!node)
        return false;
    if (CRecViewTree::itemData(node) == CRecViewTree::kDeviceListed && !pane()->busy() && node->childCount() > 0)
        return true;
    node->setExpanded(true);
    return playbacktest::waitFor([&] {
        return !pane()->busy() && node->childCount() > 0 && !CRecViewTree::HasOnlyPlaceholder(node);
    });
}

QTreeWidgetItem* PlaybackSession::listHour(const QString& uid, const char* day, const char* hour, int entries)
{
    if (!listDevice(uid))
        return nullptr;
    QTreeWidgetItem* folder = child(pane()->deviceNode(uid), QString::fromLatin1(day));
    if (!folder)
        return nullptr;
    if (CRecViewTree::HasOnlyPlaceholder(folder) || !folder->isExpanded()) {
        folder->setExpanded(false);
        folder->setExpanded(true);
    }
    if (!playbacktest::waitFor([&] { return child(folder, QString::fromLatin1(hour)) != nullptr; }))
        return nullptr;
    QTreeWidgetItem* sub = child(folder, QString::fromLatin1(hour));
    sub->setExpanded(true);
    if (!playbacktest::waitFor([&] { return sub->childCount() == entries && !CRecViewTree::HasOnlyPlaceholder(sub); }))
        return nullptr;
    return sub;
}

QTreeWidgetItem* PlaybackSession::selectClipFile(const QString& uid, const char* name)
{
    QTreeWidgetItem* hour = listHour(uid, kClipDay, kClipHour, kClipHourEntries);
    QTreeWidgetItem* file = child(hour, QString::fromLatin1(name));
    if (file)
        pane()->tree()->setCurrentItem(file);
    return file;
}

} // namespace playbacktest
