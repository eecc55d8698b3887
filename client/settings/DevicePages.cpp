#include "DevicePages.h"

#include "ProNetCfgDlg.h"
#include "ProAlarmSetDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);
    case DevicePageId::Alarm:
        return new ProAlarmSetDlg(parent);

    default:
        return nullptr;
    }
}
