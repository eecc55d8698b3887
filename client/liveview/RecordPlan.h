// The PC-side recording plan of the live grid: while the local time lies inside the day's window
// of the plan ("Lumora.ini" [RecPlan], kept by CAppConfig), every cell that shows live video
// records it to local AVI files through libLumora, in segments of RecTime * 5 + 5 minutes; when
// a recording cannot start and the plan allows overwriting (AutoCover), the oldest recordings of
// that device are deleted while the disk has less than 1 GB free.
//
// The pieces:
// - RecordPlan: the rules (time-of-day texts, the day's window, the segment length).
// - RecordPlanCell: the plan state of one grid cell and its per-pass step (PlanRecordTick). The
//   grid's cell keeps a reference to its RecordPlanCell and tells it which device it shows, when
//   the user starts a recording by hand and when the user suspends the plan for the cell.
// - RecordPlanWorker: the worker thread (RecordPlanThread) that owns the cells' plan state, reads
//   the plan as a copy on every pass and ticks every cell while the window is open. Its waits end
//   at once when it is stopped; stop() (and the destructor) joins it.
//
// Time comes from a RecordPlanClock, so tests drive the plan with a clock of their own.
#pragma once

#include "CAppConfig.h"
#include "PlatformThread.h"

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Local wall time as the plan reads it.
struct PlanLocalTime {
    int weekday = 1;      // 1 Monday .. 7 Sunday
    int secondsOfDay = 0; // seconds since local midnight, 0 .. 86399
};

class RecordPlanClock {
public:
    virtual ~RecordPlanClock() = default;
    // Any thread.
    virtual PlanLocalTime localTime() const = 0;
    // Milliseconds on a monotonic clock, wrapping at 2^32 (the system tick count).
    virtual uint32_t tick() const = 0;
};

// The system's local time and tick count.
class SystemRecordPlanClock final : public RecordPlanClock {
public:
    PlanLocalTime localTime() const override;
    uint32_t tick() const override;
};

// The plan's rules, without state.
class RecordPlan {
public:
    // Seconds since midnight of a time-of-day text "HH:MM:SS": hours are the text before the
    // first ':', minutes the text up to the next ':', seconds the last k characters after the
    // first ':' with k the length of the minutes field; each field is read like wcstol (leading
    // blanks, a sign, digits; anything else ends it). A text without ':' or starting with ':'
    // gives 0; a missing field counts 0.
    static int ParseTimeOfDay(const QString& text);
    // The window of weekday (1 Monday .. 7 Sunday) at secondsOfDay: open when the day's entry is
    // enabled and start < now < end, or else when the every-day entry (Eve) is enabled and its
    // start < now < end. Both edges are excluded.
    static bool IsWindowOpen(const RecPlan& plan, int weekday, int secondsOfDay);
    // Segment length in minutes for the plan's RecTime index: RecTime * 5 + 5.
    static int SegmentMinutes(int recTime);
    // Free space under 1 GB lets AutoCover delete recordings.
    static constexpr double kAutoCoverFreeGb = 1.0;
    // Recordings AutoCover deletes at most per failed start.
    static constexpr int kAutoCoverFiles = 5;
    // PlanRecordTick results besides 0 and StartRecordFile's own.
    static constexpr int kTickNoVideo = 2;
    static constexpr int kTickSuspended = 3;
    // Overlay slot of the recording picture.
    static constexpr int kRecordingOverlay = 2;
};

// Free space in GB of the file system that holds folder; nothing when it cannot be read.
using FreeSpaceReader = std::function<std::optional<double>(const QString& folder)>;
FreeSpaceReader SystemFreeSpaceReader();

// AutoCover's clean-up of one device's record folder: when freeGb(folder) reads below 1 GB,
// deletes up to five recordings of the folder, oldest first (by modification time, then name),
// never a sub-folder and never the newest file while deviceRecording is set (that file is the
// recording libLumora has open). Returns the files deleted.
int AutoCoverCleanUp(const QString& folder, bool deviceRecording, const FreeSpaceReader& freeGb);

// The plan state of one grid cell. The GUI thread writes the device, the manual start and the
// suspension; the worker runs PlanRecordTick. Every member is guarded by the cell's own lock,
// which is never held across a call into libLumora.
class RecordPlanCell {
public:
    explicit RecordPlanCell(std::shared_ptr<const RecordPlanClock> clock);
    RecordPlanCell(const RecordPlanCell&) = delete;
    RecordPlanCell& operator=(const RecordPlanCell&) = delete;

    // The device the cell shows (empty: none). GUI thread.
    void setDevice(const QString& uid);
    QString device() const;
    // A recording the user started by hand (or a new file after a stream switch) begins its
    // segment now, so the plan does not rotate it at once. GUI thread.
    void noteRecordingStarted();
    // The user confirmed stopping a plan recording: the plan leaves this cell alone for the rest
    // of the program. GUI thread.
    void suspend();
    bool suspended() const;

    // The worker's step for this cell with the pass's copy of the plan:
    // - 2 when the device shows no live video (or the cell shows no device);
    // - 3 when the cell is suspended;
    // - 0 while a recording continues, and after ending a segment that is over (the next pass
    //   starts the next one);
    // - otherwise the result of StartRecordFile (0 a file was opened, -1 the folder or file could
    //   not be made, -11 no device, link or video); the recording overlay is drawn first.
    // Worker thread.
    int PlanRecordTick(const RecPlan& plan);

    // The tick at which the running segment started; nothing when none is known.
    std::optional<uint32_t> startTick() const;
    int segmentMinutes() const;

private:
    std::shared_ptr<const RecordPlanClock> m_clock;
    mutable std::mutex m_mutex;
    QString m_uid;
    std::optional<uint32_t> m_startTick;
    bool m_suspended = false;
    int m_segmentMinutes = 0;
};

// A grid that keeps the cells' plan state itself (one RecordPlanCell in each of its cells) hands
// the worker a visitor: called on the worker thread once per pass while the window is open, it
// calls tick for each cell in grid order, holding whatever lock keeps its cells in place.
using PlanCellVisitor = std::function<void(const std::function<void(RecordPlanCell&)>& tick)>;

struct RecordPlanOptions {
    // The system clock when null.
    std::shared_ptr<const RecordPlanClock> clock;
    // A copy of the plan, read under CAppConfig's lock, when empty.
    std::function<RecPlan()> loadPlan;
    // The record folder (libLumora's, recordings lie in <folder>/<uid>/); CAppConfig::GetRecPath
    // at start() when empty.
    QString recordFolder;
    // The file system's free space when empty.
    FreeSpaceReader freeSpaceGb;
    // The cells to tick; the worker's own cells (cell()) when empty.
    PlanCellVisitor forEachCell;
    // Waits between passes: while the window is open, and while it is closed or the plan is off.
    int openWaitMs = 2000;
    int closedWaitMs = 10000;
};

class RecordPlanWorker {
public:
    enum class Pass { Disabled, WindowClosed, WindowOpen };

    explicit RecordPlanWorker(int cellCount = 32, RecordPlanOptions options = {});
    // Stops and joins the worker.
    ~RecordPlanWorker();
    RecordPlanWorker(const RecordPlanWorker&) = delete;
    RecordPlanWorker& operator=(const RecordPlanWorker&) = delete;

    // The plan state of cell index (0 .. cellCount-1); lives as long as the worker. A grid
    // without a visitor binds each of its cells to one of these once, at creation.
    RecordPlanCell& cell(int index) { return *m_cells.at(static_cast<size_t>(index)); }
    int cellCount() const { return static_cast<int>(m_cells.size()); }
    const RecordPlanClock& clock() const { return *m_clock; }
    // For cells a grid makes itself: they share the worker's clock.
    std::shared_ptr<const RecordPlanClock> sharedClock() const { return m_clock; }

    // Starts RecordPlanThread; false when it already runs. GUI thread.
    bool start();
    // Ends the wait in progress and joins the thread; returns at once when it does not run.
    // GUI thread.
    void stop();
    bool running() const { return m_thread.running(); }
    // Ends the wait in progress: the next pass runs now (a plan or clock that changed).
    void wakeUp();

    // One pass: read the plan, and while its window is open tick every cell (the visitor's, else
    // the worker's own), with the AutoCover clean-up after a start that failed with -1. Runs on the worker thread; a test may call it while the thread
    // does not run.
    Pass runPass();
    // Passes finished so far, and a wait (with a deadline) until more than `after` have.
    uint64_t passes() const;
    bool waitForPasses(uint64_t after, int timeoutMs) const;

private:
    void RecordPlanThread();
    RecPlan loadPlan() const;
    // The folder taken at start(), else the options' or the settings' one.
    QString recordFolder() const;

    std::shared_ptr<const RecordPlanClock> m_clock;
    RecordPlanOptions m_options;
    std::vector<std::unique_ptr<RecordPlanCell>> m_cells;
    std::mutex m_passMutex; // one pass at a time
    QString m_recordFolder; // written by start() before the thread runs

    // Guarded by m_mutex: the stop and wake requests and the pass count.
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopRequested = false;
    bool m_wakeRequested = false;
    uint64_t m_passes = 0;

    platform::Thread m_thread; // "RecordPlan": started and joined by the GUI thread
};
