// The device pages by dialog id: the nine tabs of the device-settings view and the pages the
// device tree opens on their own.
#pragma once

class DevicePage;
class QWidget;

namespace DevicePageId {
inline constexpr int Net = 331;
inline constexpr int Wireless = 332;
inline constexpr int Time = 333;
inline constexpr int Rec = 334;
inline constexpr int Alarm = 335;
inline constexpr int Osd = 336;
inline constexpr int Info = 337;
inline constexpr int ColorSwitch = 338;
inline constexpr int Wdr = 339;
inline constexpr int Denoise = 340;
inline constexpr int Color = 341;
inline constexpr int Video = 352;
inline constexpr int Ftp = 359;
inline constexpr int P2PServer = 364;
inline constexpr int Mobile = 365;
} // namespace DevicePageId

// The tabs of the device-settings view, in order.
inline constexpr int kSettingsTabs[] = {DevicePageId::Net,  DevicePageId::Wireless, DevicePageId::Time,
                                        DevicePageId::Rec,  DevicePageId::Alarm,    DevicePageId::Osd,
                                        DevicePageId::Info, DevicePageId::Video,    DevicePageId::Ftp};

// A new page of that id with that parent; null for an id without a page.
DevicePage* CreateDevicePage(int dialogId, QWidget* parent);
