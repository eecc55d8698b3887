#include "RecordPlan.h"

#include "ClientPaths.h"
#include "StringConvert.h"
#include "libLumora.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr int kMaskLiveVideo = 0x01;
constexpr int kMaskLocalRecord = 0x80;
constexpr const char* kRecordingPicture = "Recording@3x.bmp";

// wcstol on a field: leading blanks, an optional sign, then digits; anything else ends it.
int leadingInt(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' || text[i] == u'\r' ||
                               text[i] == u'\v' || text[i] == u'\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > 0x7fffffff)
            value = 0x7fffffff; // wcstol saturates; only plausible times matter here
    }
    return static_cast<int>(negative ? -value : value);
}

bool windowOf(const RecPlanDay& day, int now)
{
    return day.enable && RecordPlan::ParseTimeOfDay(day.start) < now && now < RecordPlan::ParseTimeOfDay(day.end);
}

void drawRecordingOverlay(const std::string& uid, bool on)
{
    const std::string picture = on ? WideToMultiByte(ResourceFilePath(QString::fromLatin1(kRecordingPicture))) : std::string();
    DrawPicture(picture.c_str(), RECT{0, 0, 0, 0}, RecordPlan::kRecordingOverlay, uid);
}

} // namespace

PlanLocalTime SystemRecordPlanClock::localTime() const
{
    const QDateTime now = QDateTime::currentDateTime();
    return PlanLocalTime{now.date().dayOfWeek(), now.time().msecsSinceStartOfDay() / 1000};
}

uint32_t SystemRecordPlanClock::tick() const
{
    return platform::tickMillis();
}

int RecordPlan::ParseTimeOfDay(const QString& text)
{
    const qsizetype first = text.indexOf(u':');
    if (first <= 0)
        return 0;
    const long long hours = leadingInt(text.left(first));
    const QString rest = text.mid(first + 1);
    const qsizetype second = rest.indexOf(u':');
    long long minutes = 0;
    long long seconds = 0;
    if (second < 0) {
        minutes = leadingInt(rest); // no seconds field
    } else {
        const QString minutesField = rest.left(second);
        minutes = leadingInt(minutesField);
        seconds = minutesField.isEmpty() ? 0 : leadingInt(rest.right(minutesField.size()));
    }
    // A hand-edited settings file may hold any number; the sum is kept inside an int.
    const long long total = hours * 3600 + minutes * 60 + seconds;
    return static_cast<int>(std::clamp<long long>(total, INT_MIN, INT_MAX));
}

bool RecordPlan::IsWindowOpen(const RecPlan& plan, int weekday, int secondsOfDay)
{
    if (weekday >= 1 && weekday <= 7 && windowOf(plan.days[static_cast<size_t>(weekday)], secondsOfDay))
        return true;
    return windowOf(plan.days[0], secondsOfDay);
}

int RecordPlan::SegmentMinutes(int recTime)
{
    return recTime * 5 + 5;
}

FreeSpaceReader SystemFreeSpaceReader()
{
    return [](const QString& folder) -> std::optional<double> {
        // The folder may not exist yet; its nearest existing parent lies on the same volume.
        QString probe = folder;
        while (!probe.isEmpty() && !QFileInfo::exists(probe)) {
            const QString parent = QFileInfo(probe).path();
            if (parent == probe)
                break;
            probe = parent;
        }
        const QStorageInfo storage(probe);
        if (!storage.isValid() || !storage.isReady())
            return std::nullopt;
        return static_cast<double>(storage.bytesAvailable()) / 1024.0 / 1024.0 / 1024.0;
    };
}

int AutoCoverCleanUp(const QString& folder, bool deviceRecording, const FreeSpaceReader& freeGb)
{
    if (!freeGb)
        return 0;
    const std::optional<double> free = freeGb(folder);
    if (!free || *free >= RecordPlan::kAutoCoverFreeGb)
        return 0;
    QFileInfoList files = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    std::sort(files.begin(), files.end(), [](const QFileInfo& a, const QFileInfo& b) {
        const QDateTime ta = a.lastModified();
        const QDateTime tb = b.lastModified();
        return ta != tb ? ta < tb : a.fileName() < b.fileName();
    });
    // The recording libLumora writes is the one touched last.
    if (deviceRecording && !files.isEmpty())
        files.removeLast();
    int deleted = 0;
    for (const QFileInfo& file : files) {
        if (deleted >= RecordPlan::kAutoCoverFiles)
            break;
        if (QFile::remove(file.absoluteFilePath()))
            ++deleted;
    }
    return deleted;
}

RecordPlanCell::RecordPlanCell(std::shared_ptr<const RecordPlanClock> clock) : m_clock(std::move(clock)) {}

void RecordPlanCell::setDevice(const QString& uid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (uid != m_uid)
        m_startTick.reset();
    m_uid = uid;
}

QString RecordPlanCell::device() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uid;
}

void RecordPlanCell::noteRecordingStarted()
{
    const uint32_t now = m_clock->tick();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startTick = now;
}

void RecordPlanCell::suspend()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_suspended = true;
}

bool RecordPlanCell::suspended() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_suspended;
}

std::optional<uint32_t> RecordPlanCell::startTick() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_startTick;
}

int RecordPlanCell::segmentMinutes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_segmentMinutes;
}

int RecordPlanCell::PlanRecordTick(const RecPlan& plan)
{
    const int minutes = RecordPlan::SegmentMinutes(plan.RecTime);
    QString uidText;
    bool suspendedNow = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_segmentMinutes = minutes;
        uidText = m_uid;
        suspendedNow = m_suspended;
    }
    if (uidText.isEmpty())
        return RecordPlan::kTickNoVideo;
    const std::string uid = WideToMultiByte(uidText);
    const int mask = GetPlayStateMask(uid);
    if (mask < 0 || (mask & kMaskLiveVideo) == 0)
        return RecordPlan::kTickNoVideo;
    if (suspendedNow)
        return RecordPlan::kTickSuspended;

    const uint32_t now = m_clock->tick();
    if ((mask & kMaskLocalRecord) != 0) {
        bool segmentOver = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_startTick) {
                // A recording the plan did not start and nobody announced: its segment starts
                // now rather than being cut at once.
                m_startTick = now;
            } else if ((now - *m_startTick) / 1000u > static_cast<uint32_t>(minutes) * 60u) {
                m_startTick.reset();
                segmentOver = true;
            }
        }
        if (segmentOver) {
            StopRecordFile(uid, 0);
            drawRecordingOverlay(uid, false);
        }
        return 0;
    }

    drawRecordingOverlay(uid, true);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_startTick = now;
    }
    return StartRecordFile(uid, 0, std::string());
}

RecordPlanWorker::RecordPlanWorker(int cellCount, RecordPlanOptions options)
    : m_clock(options.clock ? options.clock : std::make_shared<SystemRecordPlanClock>()), m_options(std::move(options))
{
    if (!m_options.freeSpaceGb)
        m_options.freeSpaceGb = SystemFreeSpaceReader();
    m_cells.reserve(static_cast<size_t>(std::max(0, cellCount)));
    for (int i = 0; i < cellCount; ++i)
        m_cells.push_back(std::make_unique<RecordPlanCell>(m_clock));
}

RecordPlanWorker::~RecordPlanWorker()
{
    stop();
}

bool RecordPlanWorker::start()
{
    if (m_thread.running())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = false;
        m_wakeRequested = false;
    }
    m_recordFolder = QString();
    m_recordFolder = recordFolder();
    return m_thread.start([this] { RecordPlanThread(); }, 0, "RecordPlan");
}

void RecordPlanWorker::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void RecordPlanWorker::wakeUp()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wakeRequested = true;
    }
    m_changed.notify_all();
}

uint64_t RecordPlanWorker::passes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_passes;
}

bool RecordPlanWorker::waitForPasses(uint64_t after, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_passes > after; });
}

QString RecordPlanWorker::recordFolder() const
{
    if (!m_recordFolder.isEmpty())
        return m_recordFolder;
    return m_options.recordFolder.isEmpty() ? CAppConfig::GetInstance()->GetRecPath() : m_options.recordFolder;
}

RecPlan RecordPlanWorker::loadPlan() const
{
    if (m_options.loadPlan)
        return m_options.loadPlan();
    return CAppConfig::GetInstance()->CopyRecPlan();
}

RecordPlanWorker::Pass RecordPlanWorker::runPass()
{
    Pass pass = Pass::Disabled;
    {
        std::lock_guard<std::mutex> passLock(m_passMutex);
        const RecPlan plan = loadPlan();
        if (plan.Enable) {
            const PlanLocalTime now = m_clock->localTime();
            pass = RecordPlan::IsWindowOpen(plan, now.weekday, now.secondsOfDay) ? Pass::WindowOpen : Pass::WindowClosed;
        }
        if (pass == Pass::WindowOpen) {
            const QString folder = recordFolder();
            const std::function<void(RecordPlanCell&)> tick = [&](RecordPlanCell& cell) {
                if (cell.PlanRecordTick(plan) != -1 || !plan.AutoCover || folder.isEmpty())
                    return;
                const QString uid = cell.device();
                const int mask = GetPlayStateMask(WideToMultiByte(uid));
                AutoCoverCleanUp(folder + QStringLiteral("/") + uid, mask > 0 && (mask & kMaskLocalRecord) != 0,
                                 m_options.freeSpaceGb);
            };
            if (m_options.forEachCell) {
                m_options.forEachCell(tick);
            } else {
                for (const std::unique_ptr<RecordPlanCell>& cell : m_cells)
                    tick(*cell);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_passes;
    }
    m_changed.notify_all();
    return pass;
}

void RecordPlanWorker::RecordPlanThread()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopRequested)
                return;
        }
        const Pass pass = runPass();
        const int waitMs = pass == Pass::WindowOpen ? m_options.openWaitMs : m_options.closedWaitMs;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(std::max(0, waitMs)),
                           [this] { return m_stopRequested || m_wakeRequested; });
        m_wakeRequested = false;
        if (m_stopRequested)
            return;
    }
}
