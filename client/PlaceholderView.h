// Stand-ins for the live grid, the playback view, the device record pane and the side panel until
// their subsystem installs the real ones: an empty area that notes the last request it got.
#pragma once

#include "ViewInterfaces.h"

#include <QStringList>
#include <QWidget>

class CPlaceholderView : public QWidget, public ILiveView, public IPlaybackView, public IRecordPane, public ISidePanel {
    Q_OBJECT
public:
    explicit CPlaceholderView(const QString& name, QWidget* parent = nullptr);

    void OpenDeviceVideo(const QString& uid, int stream, QPoint point) override;
    void CloseDeviceVideo(const QString& uid) override;
    void SelectDevicePane(const QString& uid) override;
    void SetSplitCount(int count) override;
    void PlayRemoteRecord(const QString& uid, const QString& file, int length) override;
    int PlayLocalFile(const QString& path) override;
    void AddDeviceNode(const QString& uid) override;
    void OnDownloadState(int state) override;
    void SetCurrentDevice(const QString& uid) override;

    // Every request, as "name argument".
    QStringList requests() const { return m_requests; }
    int splitCount() const { return m_split; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QStringList m_requests;
    int m_split = 4;
};
