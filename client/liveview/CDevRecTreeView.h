// The device record pane: the recordings on the devices' SD cards in a tree (CRecViewTree), a
// thin busy strip over it while a device is listed, and the record commands of its menu: play a
// recording (through the main frame to the playback view), download it into the download folder
// (with its progress at the bottom of the pane and a desktop alert when it starts, ends or
// fails) and stop a download.
//
// The pane lists a device's first level (the path of its card, the count of its root folder,
// then all of it in one page) when its node is first expanded while the device is online; the
// control lists the deeper levels. Each device's listing carries its own device and node; one
// that fails puts the device node back as it was before, so it can be expanded again.
//
// A download is kept per device: its device, its card path and its name. Stop goes to the
// device of the selected recording (or of the last download started) with the path of that
// device's download, whatever was listed since.
//
// Thread: GUI. SDK answers come back through the pane's mailbox; the main frame hands it the
// end of a download (SDK message 5) on the GUI thread.
#pragma once

#include "ViewInterfaces.h"

#include <QString>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CMainFrame;
class CRecViewTree;
class GuiMailbox;
class QMenu;
class QProgressBar;
class QTimer;
class QTreeWidgetItem;

class CDevRecTreeView : public QWidget, public IRecordPane {
    Q_OBJECT
public:
    enum Command { ID_REC_PLAY = 32924, ID_REC_DLOAD = 32925, ID_REC_END_DLOAD = 32987 };
    // wParam of the download state: 0 started, 1 finished, any other value failed.
    enum DownloadState { kDownloadStarted = 0, kDownloadFinished = 1, kDownloadFailed = 2 };
    // The record stream bit of GetPlayStateMask.
    static constexpr int kRecordStreamBit = 0x10;
    static constexpr int kStripHeight = 20;

    explicit CDevRecTreeView(CMainFrame* frame, QWidget* parent = nullptr);
    ~CDevRecTreeView() override;

    // IRecordPane.
    void AddDeviceNode(const QString& uid) override;
    void OnDownloadState(int state) override;

    // The devices of "DevInfo.db" (when it exists) under the root; starts the device-state ticks.
    void LoadDevices();
    // A device node was expanded (the control leaves these to the pane).
    void OnItemExpanded(QTreeWidgetItem* item);

    // Commands on the selected recording.
    void OnPlayRecord();
    void OnStartDownload();
    void OnStopDownload();
    bool IsCommandEnabled(int id) const;
    // The record menu with the current language and enabling; the caller owns it.
    QMenu* CreateContextMenu();

    // Timer intervals in ms: busy strip steps (100), download progress polls (500), device
    // state ticks (1000). Tests shorten them.
    void setTimerIntervals(int busyMs, int progressMs, int stateMs);

    CRecViewTree* tree() const { return m_tree; }
    QProgressBar* strip() const { return m_strip; }
    QProgressBar* downloadBar() const { return m_downloadBar; }
    bool busy() const;
    int busyPosition() const { return m_busyPosition; }
    QTreeWidgetItem* root() const;
    QTreeWidgetItem* deviceNode(const QString& uid) const;
    // Percent of a device's download written (0..100); -1 when the device has no download.
    int downloadProgress(const QString& uid) const;
    // The desktop alerts shown so far and the text of the last one.
    int alertCount() const { return m_alerts; }
    QString lastAlertText() const { return m_lastAlert; }
    static QString AlertText(int state);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Download {
        std::string path;     // card path of the recording
        QString name;         // its name ("n")
        int64_t expected = 0; // size value from its page entry
        int progress = 0;
        bool accepted = false; // the device answered 0
        bool running = false;
    };

    QTreeWidgetItem* ensureRoot();
    QTreeWidgetItem* insertDevice(const QString& uid);
    // The selected file node, or null.
    QTreeWidgetItem* selectedFile() const;
    void AdjustLayout();
    void RequestRecordPath(const QString& uid);
    void OnRecordPath(const QString& uid, int serial, int result, const std::string& text);
    void OnRecordList(const QString& uid, int serial, int result, const std::string& text);
    void OnRecordPage(const QString& uid, int serial, int result, const std::string& text);
    // Ends a device's listing; a failed one puts the node back unlisted.
    void endListing(const QString& uid, bool failed);
    bool listingCurrent(const QString& uid, int serial) const;
    void startBusy();
    void stopBusy();
    void OnBusyTimer();
    void OnDeviceStateTimer();
    void pollDownloads();
    void OnDownloadReply(const QString& uid, int result);
    void showAlert(int state);

    CMainFrame* m_frame;
    std::shared_ptr<GuiMailbox> m_mailbox;
    CRecViewTree* m_tree = nullptr;
    QProgressBar* m_strip = nullptr;
    QProgressBar* m_downloadBar = nullptr;
    QTimer* m_busyTimer = nullptr;
    QTimer* m_progressTimer = nullptr;
    QTimer* m_stateTimer = nullptr;
    int m_busyPosition = 1;

    std::map<QString, int> m_listings; // device -> serial of its listing in progress
    int m_nextSerial = 1;
    std::map<QString, Download> m_downloads;
    QString m_lastDownloadUid;
    int m_alerts = 0;
    QString m_lastAlert;
};
