#include "DevicePages.h"

#include "ProNetCfgDlg.h"
#include "ProTimeCheckDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);
    case DevicePageId::Time:
        return new ProTimeCheckDlg(parent);

    default:
        return nullptr;
    }
}
