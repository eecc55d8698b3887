#include "DevicePages.h"

#include "ProNetCfgDlg.h"
#include "CVideoSettingDlg.h"
#include "ProRecSetDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);
    case DevicePageId::Rec:
        return new ProRecSetDlg(parent);
    case DevicePageId::Video:
        return new CVideoSettingDlg(parent);

    default:
        return nullptr;
    }
}
