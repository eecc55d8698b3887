#include "SettingsTour.h"

#include "DevTreeView.h"
#include "MainFrame.h"
#include "ViewTree.h"
#include "settings/DevAllProView.h"
#include "settings/DevicePage.h"
#include "settings/DevicePages.h"

#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidgetItem>

namespace {

// The pages the device tree opens that are no tab of the settings view.
constexpr int kTreeOnlyPages[] = {DevicePageId::ColorSwitch, DevicePageId::Color,     DevicePageId::Denoise,
                                  DevicePageId::Wdr,         DevicePageId::P2PServer, DevicePageId::Mobile};

bool waitLoaded(QSignalSpy& spy)
{
    return QTest::qWaitFor([&] { return !spy.isEmpty(); }, 15000) && spy.at(0).at(0).toInt() == 0;
}

} // namespace

bool SettingsTour(CMainFrame* frame, const std::function<bool(const char*, bool)>& step,
                  const std::function<void(QWidget*, const QString&)>& shot)
{
    QTreeWidgetItem* root = frame->devTreePane()->tree()->root();
    if (!step("a camera to show the settings of", root && root->childCount() > 0))
        return false;
    const QString uid = root->child(0)->text(0);
    frame->OnDevicePropertyMode();
    auto* view = dynamic_cast<DevAllProView*>(frame->view(CMainFrame::PropertyView));
    if (!step("the device settings view opens", view != nullptr))
        return false;
    frame->SetCurrentDevice(uid);
    bool ok = true;
    for (int i = 0; i < view->tabs()->count(); ++i) {
        QSignalSpy loaded(view->page(i), &DevicePage::loaded);
        if (view->tabs()->currentIndex() == i)
            view->RefreshActivePage(uid);
        else
            view->tabs()->setCurrentIndex(i);
        ok = waitLoaded(loaded) && ok;
        shot(frame, QStringLiteral("9-settings-tab-%1").arg(view->page(i)->dialogId()));
    }
    step("every tab of the settings view shows the camera's settings", ok);

    frame->devTreePane()->tree()->setCurrentItem(root->child(0));
    ok = true;
    for (int id : kTreeOnlyPages) {
        frame->devTreePane()->RunCommand(id == DevicePageId::Mobile ? CDevTreeView::ID_DEV_MOBILE : id);
        DevicePageDialog* dialog = frame->devTreePane()->pageDialog(id);
        if (dialog == nullptr)
            continue; // not built in this version
        QSignalSpy loaded(dialog->page(), &DevicePage::loaded);
        // The command loaded the page already; an answer that came before the spy is asked again.
        dialog->open(uid);
        ok = waitLoaded(loaded) && ok;
        shot(dialog, QStringLiteral("10-settings-page-%1").arg(id));
        dialog->hide();
    }
    step("the device tree's own settings pages show the camera's settings", ok);
    return true;
}
