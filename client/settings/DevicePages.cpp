#include "DevicePages.h"

#include "ProNetCfgDlg.h"
#include "ProTimeCheckDlg.h"
#include "CMobileNetDlg.h"
#include "CProImageSetDlg.h"
#include "CSetDevServerDlg.h"
#include "ProImgColorSetDlg.h"
#include "ProImgNoiseDlg.h"
#include "ProImgWDRDlg.h"
#include "CVideoSettingDlg.h"
#include "ProRecSetDlg.h"
#include "ProWirelessDlg.h"
#include "CFTPSettingDlg.h"
#include "ProAlarmSetDlg.h"
#include "ProOSDSetDlg.h"
#include "ProDevInfoDlg.h"

DevicePage* CreateDevicePage(int dialogId, QWidget* parent)
{
    switch (dialogId) {
    case DevicePageId::Net:
        return new ProNetCfgDlg(parent);
    case DevicePageId::Time:
        return new ProTimeCheckDlg(parent);
    case DevicePageId::ColorSwitch:
        return new CProImageSetDlg(parent);
    case DevicePageId::Color:
        return new ProImgColorSetDlg(parent);
    case DevicePageId::Denoise:
        return new ProImgNoiseDlg(parent);
    case DevicePageId::Wdr:
        return new ProImgWDRDlg(parent);
    case DevicePageId::Mobile:
        return new CMobileNetDlg(parent);
    case DevicePageId::P2PServer:
        return new CSetDevServerDlg(parent);
    case DevicePageId::Rec:
        return new ProRecSetDlg(parent);
    case DevicePageId::Video:
        return new CVideoSettingDlg(parent);
    case DevicePageId::Wireless:
        return new ProWirelessDlg(parent);
    case DevicePageId::Ftp:
        return new CFTPSettingDlg(parent);
    case DevicePageId::Alarm:
        return new ProAlarmSetDlg(parent);
    case DevicePageId::Osd:
        return new ProOSDSetDlg(parent);
    case DevicePageId::Info:
        return new ProDevInfoDlg(parent);

    default:
        return nullptr;
    }
}
