// Screenshots of the side panel (PTZ, presets, colours) and the preset dialog with a camera's
// presets and colours loaded, for a reviewer to look at (<build>/screenshots).
#include "PanelTestSupport.h"
#include "ScreenshotSupport.h"
#include "liveview/CRTPannelDlg.h"
#include "liveview/CRealTimePannel.h"
#include "liveview/DevAddPrenstPosDlg.h"

#include "CXListCtrl.h"

#include <QListWidget>
#include <gtest/gtest.h>

namespace {

using namespace livetest;

TEST(PanelScreenshot, PtzPanelAndPresetDialog)
{
    DataFolder data(std::string(), kPanelLanguage);
    Camera camera("SHOT");
    ASSERT_TRUE(camera.startAndLogin());
    camera.sim().setPresets({{1, "Front door"}, {2, "Garden"}, {5, ""}});

    CRealTimePannel panel;
    panel.setWindowTitle(QStringLiteral("PTZ"));
    panel.resize(300, 760);
    panel.show();
    panel.SetCurrentDevice(camera.quid());
    ASSERT_TRUE(WaitFor([&] { return panel.dialog()->presetList()->rowCount() == 3 && panel.dialog()->colorConfig().isObject(); }));
    EXPECT_FALSE(clienttest::SaveScreenshot(&panel, QStringLiteral("ptz_panel")).isEmpty());

    DevAddPrenstPosDlg dialog;
    dialog.show();
    dialog.RequestPresets(camera.quid());
    ASSERT_TRUE(WaitFor([&] { return dialog.presetList()->count() == 3; }));
    EXPECT_FALSE(clienttest::SaveScreenshot(&dialog, QStringLiteral("preset_dialog")).isEmpty());
}

} // namespace
