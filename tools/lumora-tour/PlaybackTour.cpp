#include "PlaybackTour.h"

#include "CRecViewTree.h"
#include "MainFrame.h"
#include "liveview/CDevRecTreeView.h"
#include "liveview/CHisPlayView.h"
#include "liveview/CRecVideoWnd.h"

#include <QDockWidget>
#include <QTest>
#include <QTreeWidgetItem>

namespace {

// Expands node and waits until its placeholder has made way for real children.
bool expandAndWait(QTreeWidgetItem* node)
{
    if (!node)
        return false;
    node->setExpanded(true);
    return QTest::qWaitFor([&] { return node->childCount() > 0 && !CRecViewTree::HasOnlyPlaceholder(node); }, 20000);
}

} // namespace

bool PlaybackTour(CMainFrame* frame, const std::function<bool(const char*, bool)>& step,
                  const std::function<void(QWidget*, const QString&)>& shot)
{
    frame->OnDeviceRecordMode();
    frame->resizeDocks({frame->dock("DevRecDock")}, {320}, Qt::Horizontal);
    auto* pane = frame->findChild<CDevRecTreeView*>();
    auto* view = dynamic_cast<CHisPlayView*>(frame->view(CMainFrame::PlaybackView));
    QTreeWidgetItem* root = pane ? pane->root() : nullptr;
    if (!step("the record pane lists the cameras", root && root->childCount() > 0))
        return false;
    QTreeWidgetItem* device = root->child(0);
    QTreeWidgetItem* folder = nullptr;
    QTreeWidgetItem* hour = nullptr;
    if (!step("the first camera's card lists its days", expandAndWait(device)))
        return false;
    folder = device->child(0);
    if (!step("a day lists its hours", expandAndWait(folder)))
        return false;
    hour = folder->child(0);
    if (!step("an hour lists its recordings", expandAndWait(hour)))
        return false;
    QTreeWidgetItem* file = hour->child(0);
    pane->tree()->setCurrentItem(file);
    pane->OnPlayRecord();
    if (!step("the recording plays in the playback view",
              QTest::qWaitFor([&] { return view && view->videoFrame()->picturesPainted() >= 10 && view->position() >= 2; },
                              20000)))
        return false;
    shot(frame, QStringLiteral("7-playback-record-tree"));
    view->StopPlay();
    return true;
}
