#include "DevicePages.h"

#include "ProNetCfgDlg.h"
#include "ProWirelessDlg.h"
#include "CFTPSettingDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);
    case DevicePageId::Wireless:
        return new ProWirelessDlg(parent);
    case DevicePageId::Ftp:
        return new CFTPSettingDlg(parent);

    default:
        return nullptr;
    }
}
