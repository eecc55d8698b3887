#include "DevicePages.h"

#include "ProNetCfgDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);

    default:
        return nullptr;
    }
}
