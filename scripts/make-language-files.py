#!/usr/bin/env python3
# Writes resources/EN_LAN.ini and resources/CN_LAN.ini, the client's language files, from one
# table so that both always hold the same sections and keys. Run it after editing a text.
import os
# section, key, English, Chinese
T = []
def s(section, rows):
    for k, en, cn in rows:
        T.append((section, k, en, cn))
s("Common", [("OK","OK","确定"),("Cancel","Cancel","取消"),("Warning","Warning","警告"),("Fail","Operation failed","操作失败"),
    ("Success","Operation succeeded","操作成功"),("FailRemind","Please enter the date and time as YYYY-MM-DD hh:mm:ss","请按 YYYY-MM-DD hh:mm:ss 格式输入日期和时间")])
s("UserRegist", [("RegTitle","Register a user","用户注册"),("RegUser","User name","用户名"),("RegPW","Password","密码"),
    ("RegRPW","Repeat password","确认密码"),("RegLan","Language","语言"),
    ("UserFormat","The user name may hold only letters and digits","用户名只能包含字母和数字"),
    ("PWFormat","The password may hold only letters and digits","密码只能包含字母和数字"),
    ("PWDif","The two passwords differ","两次输入的密码不一致"),("RegError","The user database could not be created","无法创建用户数据库")])
s("UserLogin", [("User","User","用户"),("Password","Password","密码"),("Remeber","Remember password","记住密码"),
    ("AutoLogin","Log in automatically","自动登录"),("Input","Please enter the user name","请输入用户名"),
    ("NoExist","This user does not exist","用户不存在"),("PWError","Wrong password","密码错误"),("Server","Server","服务器"),
    ("ServerTitle","P2P server","P2P 服务器")])
s("DevPWSet", [("Alias","Camera","别名"),("OldPW","Old password","旧密码"),("NewPW","New password","新密码"),
    ("ReNewPW","Repeat new password","确认新密码"),("Visible","Show passwords","显示密码"),("Set","Set","设置"),
    ("OldPwError","The old password is wrong","旧密码错误"),("PwTwiceError","The two new passwords differ","两次输入的新密码不一致"),
    ("Fail","Changing the password failed","修改密码失败"),("Success","The password was changed","修改密码成功")])
s("MainFrame", [("DevTreeName","Device list","设备列表"),("DevRecTree","Device recordings","设备录像"),("FileTreeName","Local files","本地文件"),
    ("PTZPannel","PTZ","云台控制"),("AlarmPannel","Alarms","报警信息"),("MoveAlarmType","Motion alarm","移动侦测报警")])
s("ToolBar", [("FullScreen","Full screen","全屏"),("SwitchWnd","Split","分屏"),("SavePathSet","Folders","本地设置"),
    ("Video","Live","实时预览"),("AddDev","Add device","添加设备"),("Record","Record","录像"),("Audio","Listen","监听"),
    ("Mirco","Talk","对讲"),("Zoom","Digital zoom","电子放大"),("Snap","Snapshot","抓拍"),("Close","Close","关闭"),
    ("Roate","Rotate","旋转"),("DevPropety","Device settings","设备设置"),("DevRecList","Device recordings","设备回放"),
    ("LocalRecList","Local recordings","本地回放"),("LocalRecPlan","Recording plan","本地录像计划"),("Help","Help","帮助")])
s("VideoMenu", [("Close","Close video","关闭视频"),("Snap","Snapshot","抓拍"),("OpenAudio","Start listening","打开监听"),
    ("CloseAudio","Stop listening","关闭监听"),("OpenMirco","Start talking","打开对讲"),("CloseMirco","Stop talking","关闭对讲"),
    ("BeginRec","Start recording","开始录像"),("EndRec","Stop recording","停止录像"),("Preset","Presets","预置位"),
    ("Switch","Switch stream","切换码流"),("OpenFace","Start face pictures","打开人脸抓拍"),("CloseFace","Stop face pictures","关闭人脸抓拍"),
    ("ExitFullscreen","Exit full screen","退出全屏"),("Roate","Rotate","旋转"),("Zoom","Digital zoom","电子放大"),("ZoomOver","End zoom","结束放大")])
s("DevTree", [("PAError","wrong password","设备密码错误"),("BeDel","Delete the device?","确定删除该设备吗？"),
    ("BeAllDel","Delete all devices?","确定删除所有设备吗？")])
s("DevListMenu", [("SearchDev","Search","局域网搜索"),("DevDel","Delete","删除设备"),("DevAllDel","Delete all","删除所有设备"),
    ("DevReLogin","Log in again","重新登录"),("DevReboot","Reboot device","重启设备"),("DevDefault","Restore factory defaults","恢复出厂设置"),
    ("DevInfoModify","Alias and password","修改别名和密码"),("DevMobile","4G/Wi-Fi switch","4G/Wi-Fi 切换"),("Dev50HZ","Anti-flicker 50 Hz","防闪烁 50Hz"),
    ("Dev60HZ","Anti-flicker 60 Hz","防闪烁 60Hz"),("IRCutPositive","IR-cut normal","红外滤光片正序"),("IRCutReverse","IR-cut reverse","红外滤光片反序"),
    ("DevIndoor","Indoor mode","室内模式"),("DevOutdoor","Outdoor mode","室外模式"),("DevHorizontal","Mirror","水平翻转"),("DevVertical","Flip","垂直翻转"),
    ("DevSettings","Device settings","设备设置"),("DevNet","Wired network","有线网络"),("DevWireless","Wi-Fi","无线网络"),
    ("DevTime","Clock","时间设置"),("DevRec","SD recording","SD 录像"),("DevAlarm","Alarm","报警设置"),("DevOSD","OSD","OSD 设置"),
    ("DevInfo","Device information and upgrade","设备信息与升级"),("DevVideo","Video encoding","视频编码"),("DevFTP","FTP","FTP 设置"),
    ("DevColorSwitch","Colour/black switch","彩转黑设置"),("DevColor","Colour adjustment","图像颜色调节"),("DevDenoise","Noise reduction","降噪设置"),
    ("DevWDR","Wide dynamic range","宽动态设置"),("DevP2PServer","P2P server","P2P 服务器")])
s("DevSearch", [("AddTip","Check the devices to add","勾选要添加的设备，修改别名和密码后点击添加"),
    ("DevSearch","Search","搜索"),("Manual","Manual","手动添加"),("Add","Add","添加"),("DevAlias","Alias","别名"),
    ("DevLoginPW","Password","密码"),("DevIP","IP","IP 地址"),("DevMac","MAC","MAC 地址"),("Sofeware","Software","软件版本"),
    ("Hardware","Hardware","硬件版本"),("ManualPA","password","设备密码"),("ManualUID","UID","设备 UID")])
s("AlarmPannel", [("UID","UID","UID"),("AlarmTime","Time","报警时间"),("AlarmType","Type","报警类型")])
s("LocRecSet", [("OpenLocRec","Enable plan recording","启用计划录像"),("AutoCover","Overwrite old recordings","自动覆盖"),
    ("RecTime","Recording length (minutes)","录像时长（分钟）"),("Eve","Every day","每天"),("Mon","Monday","星期一"),("Tue","Tuesday","星期二"),
    ("Wed","Wednesday","星期三"),("Thu","Thursday","星期四"),("Fri","Friday","星期五"),("Sat","Saturday","星期六"),("Sun","Sunday","星期日"),
    ("Set","Set","设置"),("StopRecTip","A recording plan is on. Stop this recording anyway?","计划录像已启用，确定停止该录像吗？")])
s("RTPannel", [("PTZTitle","PTZ","云台"),("PTZFouce","Focus","聚焦"),("PTZZoom","Zoom","变倍"),("PTZPreset","Preset","预置位"),
    ("PTZAdd","Add","添加"),("PTZDel","Delete","删除"),("PTZIndex","No.","序号"),("PTZName","Name","名称"),("Color","Colour","图像"),
    ("Brightness","Brightness","亮度"),("Saturtion","Saturation","饱和度"),("Acutance","Sharpness","锐度"),("Contrast","Contrast","对比度"),
    ("Chroma","Hue","色度"),("ColorSet","Apply","设置"),("Default","Default","默认"),
    ("PresetTitle","Presets","预置位"),("PresetAdded","Presets set","已添加预置位"),("PresetNewName","Name of a new preset","添加预置位名称")])
s("HisPlaySet", [("Close","Close","关闭"),("Snap","Snapshot","抓拍")])
s("DevRecMenu", [("RecPlay","Play","播放"),("RecDload","Download","开始下载"),("RecEndDload","Stop download","结束下载"),
    ("DloadBegin","Downloading the recording","开始下载录像文件"),("DloadEnd","The recording is downloaded","结束下载录像文件"),
    ("DloadError","Downloading the recording failed","下载录像文件出错")])
s("DevAllPro", [("Net","Wired network","有线网络"),("Wireless","Wi-Fi","无线网络"),("DevTime","Clock","时间设置"),("DevRec","SD recording","SD 录像"),
    ("DevAlarm","Alarm","报警设置"),("DevOSD","OSD","OSD 设置"),("DevInfo","Device information","设备信息"),("DevVideoSet","Video encoding","视频编码"),
    ("DevFTPSet","FTP","FTP 设置")])
s("NetSet", [("DHCP","DHCP","自动获取 IP"),("IPAddr","IP address","IP 地址"),("Mask","Subnet mask","子网掩码"),("Gateway","Gateway","网关"),("Set","Set","设置")])
s("WiFiSet", [("OpenWiFi","Wi-Fi on","打开无线"),("WiFiStatus","Wi-Fi state","无线状态"),("SSID","SSID","SSID"),("Password","Password","密码"),
    ("EncType","Encryption","加密方式"),("WiFiSearch","Search","搜索"),("IPAddr","IP address","IP 地址"),("Mask","Subnet mask","子网掩码"),
    ("Gateway","Gateway","网关"),("Set","Set","设置"),("Signal","Signal","信号"),("Disconnect","Disconnected","未连接"),("Connecting","Connecting","正在连接"),
    ("RequestAddr","Requesting an address","正在获取地址"),("Connected","Connected","已连接"),("Fail","Connection failed","连接失败")])
zones_en = ["(GMT-11:00) Midway Island, Samoa","(GMT-10:00) Hawaii","(GMT-09:00) Alaska","(GMT-08:00) Pacific Time","(GMT-07:00) Mountain Time",
 "(GMT-06:00) Central Time","(GMT-05:00) Eastern Time","(GMT-04:00) Atlantic Time","(GMT-03:30) Newfoundland","(GMT-03:00) Brasilia, Buenos Aires",
 "(GMT-02:00) Mid-Atlantic","(GMT-01:00) Azores","(GMT) London, Lisbon","(GMT+01:00) Berlin, Paris, Rome","(GMT+02:00) Athens, Cairo, Helsinki",
 "(GMT+03:00) Moscow, Nairobi","(GMT+03:30) Tehran","(GMT+04:00) Abu Dhabi, Baku","(GMT+04:30) Kabul","(GMT+05:00) Islamabad, Karachi",
 "(GMT+05:30) New Delhi, Mumbai","(GMT+06:00) Dhaka, Almaty","(GMT+07:00) Bangkok, Jakarta","(GMT+08:00) Beijing, Hong Kong, Singapore",
 "(GMT+09:00) Tokyo, Seoul","(GMT+09:30) Adelaide, Darwin","(GMT+10:00) Sydney, Guam","(GMT+11:00) Solomon Islands","(GMT+12:00) Auckland, Fiji"]
zones_cn = ["(GMT-11:00) 中途岛，萨摩亚","(GMT-10:00) 夏威夷","(GMT-09:00) 阿拉斯加","(GMT-08:00) 太平洋时间","(GMT-07:00) 山地时间",
 "(GMT-06:00) 中部时间","(GMT-05:00) 东部时间","(GMT-04:00) 大西洋时间","(GMT-03:30) 纽芬兰","(GMT-03:00) 巴西利亚，布宜诺斯艾利斯",
 "(GMT-02:00) 中大西洋","(GMT-01:00) 亚速尔群岛","(GMT) 伦敦，里斯本","(GMT+01:00) 柏林，巴黎，罗马","(GMT+02:00) 雅典，开罗，赫尔辛基",
 "(GMT+03:00) 莫斯科，内罗毕","(GMT+03:30) 德黑兰","(GMT+04:00) 阿布扎比，巴库","(GMT+04:30) 喀布尔","(GMT+05:00) 伊斯兰堡，卡拉奇",
 "(GMT+05:30) 新德里，孟买","(GMT+06:00) 达卡，阿拉木图","(GMT+07:00) 曼谷，雅加达","(GMT+08:00) 北京，香港，新加坡",
 "(GMT+09:00) 东京，首尔","(GMT+09:30) 阿德莱德，达尔文","(GMT+10:00) 悉尼，关岛","(GMT+11:00) 所罗门群岛","(GMT+12:00) 奥克兰，斐济"]
s("TimeCheck", [("NetCheck","Network time (NTP)","网络校时"),("Computer","Take the PC's time","同步电脑时间"),("Set","Set","设置")] +
    [("datetimeZone%d"%i, zones_en[i], zones_cn[i]) for i in range(29)])
s("SDRecSet", [("SDStatus","SD card state","SD 卡状态"),("SDCapacity","SD card capacity","SD 卡容量"),("SDResidue","SD card free","SD 卡剩余"),
    ("SDRecover","Overwrite automatically","自动覆盖"),("SDRecTime","Recording length (minutes)","录像时长（分钟）"),("Eve","Every day","每天"),
    ("Mon","Monday","星期一"),("Tue","Tuesday","星期二"),("Wed","Wednesday","星期三"),("Thu","Thursday","星期四"),("Fri","Friday","星期五"),
    ("Sat","Saturday","星期六"),("Sun","Sunday","星期日"),("SDFormat","Format","格式化"),("SDSet","Set","设置"),("Valiad","ready","正常"),("Invaliad","not available","不可用"),
    ("Formatting","formatting...","正在格式化..."),("FormatAsk","Format the SD card? Every recording on it is erased.","格式化 SD 卡吗？卡上的所有录像都将被删除。")])
s("AlarmSet", [("MoveAlarm","Motion alarm","移动侦测报警"),("EnMotion","Enable motion alarm","启用移动侦测"),("ClearRect","Clear area","清除区域"),
    ("Sensitivity","Sensitivity","灵敏度"),("IOAlarm","IO alarm","IO 报警"),("IODelay","Delay","延时"),("HLevel","High level","高电平"),
    ("LLevel","Low level","低电平"),("AlarmRec","Alarm recording","报警录像"),("EnRec","Record on alarm","启用报警录像"),("Upload","Upload by FTP","FTP 上传"),
    ("RecTime","Length (s)","录像时长（秒）"),("AlarmSnap","Alarm snapshots","报警抓拍"),("SnapSec","Interval (s)","抓拍间隔（秒）"),
    ("SnapMSec","Interval (ms)","抓拍间隔（毫秒）"),("AlarmPre","Alarm preset","报警预置位"),("PreID","Preset","预置位"),("AlarmTimeSet","Alarm times","布防时间"),
    ("Beg","Start","开始"),("End","End","结束"),("Eve","Every day","每天"),("Mon","Monday","星期一"),("Tue","Tuesday","星期二"),("Wed","Wednesday","星期三"),
    ("Thu","Thursday","星期四"),("Fri","Friday","星期五"),("Sat","Saturday","星期六"),("Sun","Sunday","星期日"),("Set","Set","设置"),
    ("SnapNum","Snapshots","抓拍张数"),("NumError","Please enter a whole number.","请输入整数。"),
    ("PicNumRange","Please enter a whole number from 0 to 10.","请输入 0 到 10 之间的整数。")])
s("OSDSet", [("Name","Name","名称"),("DispName","Show name","显示名称"),("DispTime","Show date and time","显示时间"),
    ("DispFCBR","Show frame and bit rate","显示帧率码率"),("Set","Set","设置"),("SName","Name","名称"),("STime","Date and time","日期时间"),("SCFBR","Frame and bit rate","帧率码率")])
s("DevInfo", [("DevType","Model","设备型号"),("DevSofeVer","Software version","软件版本"),("DevhardVer","Firmware version","固件版本"),
    ("DevAutoUpdate","Upgrade automatically","自动升级"),("DevUpdate","Upgrade","升级"),("UpdateSave","Save","保存"),
    ("Newest","The firmware is up to date","已是最新版本"),("Success","Upgrade finished","升级成功"),("Fail","Operation failed","操作失败"),
    ("UpgradeAsk","Upgrade the device's firmware now? The device restarts when the upgrade is done.","现在升级设备固件吗？升级完成后设备将重启。"),
    ("VersionFail","The version information could not be fetched from the upgrade server. Nothing was sent to the device.","无法从升级服务器获取版本信息，未向设备发送任何内容。"),
    ("UpgradeStall","The device stopped reporting the upgrade's progress. Check the device before trying again.","设备已停止报告升级进度，请检查设备后再试。")])
s("VideoSet", [("MainStream","Main stream","主码流"),("SubStream","Sub stream","子码流"),("MainType","Encoding","编码格式"),("MainPix","Resolution","分辨率"),
    ("MainIDis","I-frame interval","I 帧间隔"),("MainFBR","Frame rate","帧率"),("MainCType","Rate control","码率控制"),("MainCBR","Bit rate","码率"),("Set","Set","设置"),
    ("NumberTip","%1: please enter a whole number.","%1：请输入整数。"),("RangeTip","%1: please enter a whole number from %2 to %3.","%1：请输入 %2 到 %3 之间的整数。")])
s("FTPSet", [("FTPAddr","FTP address","FTP 地址"),("FTPPort","FTP port","FTP 端口"),("FTPUser","FTP user","FTP 用户"),("FTPPW","FTP password","FTP 密码"),
    ("FTPPath","FTP folder","FTP 路径"),("Set","Set","设置")])
s("PathSetting", [("PathSet","Folders","路径设置"),("PathSnap","Snapshots","抓拍路径"),("PathDload","Downloads","下载路径"),("PathRec","Recordings","录像路径"),
    ("PathAlarm","Alarm pictures","报警抓拍路径"),("SelPath","Browse","浏览"),("DecType","Decoding","解码方式"),("DecHard","Hardware decoding","硬件解码"),
    ("DecSofe","Software decoding","软件解码"),("Set","Set","设置")])
s("ImageSet", [("Title","Colour/black switch","彩转黑设置"),("Group","Colour to black","彩转黑"),("Mode","Switch mode","转换模式"),
    ("Mode0","By hand: black and white","手动转黑白"),("Mode1","By hand: colour","手动转彩色"),("Mode2","Automatic switching","自动切换"),
    ("Mode3","Use the external voltage","使用外部电压"),("Mode4","Switch by the external input","外部输入切换"),("Mode5","Timed task","定时任务"),
    ("Mode6","Infrared lamp on","打开红外灯"),("Mode7","Infrared lamp off","关闭红外灯"),("Auto","Automatic switching","自动切换"),
    ("Level","Sensitivity","灵敏度"),("Time","Switch time","切换时间"),("Timer","Timed switching","定时转换"),
    ("TimerOn","Timer on (colour)","定时开(彩色)"),("TimerOff","Timer off (black and white)","定时关(黑白)"),("Start","Start time","开始时间"),
    ("End","End time","结束时间"),("Set","Modify","修改"),
    ("LevelRange","The sensitivity must be a whole number from 0 to 255","灵敏度必须是 0 到 255 之间的整数"),
    ("TimeNumber","The switch time must be a whole number","切换时间必须是整数")])
s("ColorAdjust", [("Title","Colour adjustment","图像颜色调节"),("Brightness","Brightness","亮度"),("Saturtion","Colour saturation","色彩饱和度"),
    ("Acutance","Sharpness","锐度"),("Contrast","Contrast","对比度"),("Chroma","Chroma","色度"),("Default","Restore defaults","恢复默认"),
    ("OK","OK","确定"),("Cancel","Cancel","取消")])
s("Denoise", [("Title","Noise reduction","降噪设置"),("En2D","2D noise reduction","2D降噪"),("En3D","3D noise reduction","3D降噪"),
    ("Val3D","3D value","3D值"),("Set","Modify","修改"),("ValNumber","The 3D value must be a whole number","3D值必须是整数")])
s("WDRSet", [("Title","Wide dynamic range","宽动态设置"),("WdrEn","Wide dynamic range on","打开宽动态"),("Auto","Automatic","自动"),
    ("Manual","Manual","手动"),("Value","Value","数值"),("Set","Modify","修改"),
    ("ValRange","The value must be a whole number from 0 to 255","数值必须是 0 到 255 之间的整数")])
s("MobileNet", [("Title","4G/Wi-Fi switch","4G/Wi-Fi 切换"),("On","Switch the mobile network on","打开移动网络"),
    ("Off","Switch the mobile network off","关闭移动网络"),("OK","OK","确定"),("Cancel","Cancel","取消"),
    ("Choose","Please choose whether the mobile network is on or off","请选择打开或关闭移动网络")])
s("P2PServer", [("Title","P2P server","P2P 服务器"),("Server","Server address","服务器地址"),("OK","OK","确定"),("Cancel","Cancel","取消"),
    ("Empty","Please enter the server code","请输入服务器地址")])
s("DataFile", [("Damaged","%1 cannot be read: the file is damaged. It is kept unchanged as %2, and Lumora goes on without it.",
        "无法读取 %1：文件已损坏。原文件已原样保存为 %2，Lumora 将不使用它继续运行。"),
    ("Busy","%1 is locked by another program. Lumora starts with an empty device list; close the other program and start Lumora again to see your devices.",
        "%1 被其他程序锁定。Lumora 以空的设备列表启动；请关闭该程序后重新启动 Lumora 以显示您的设备。")])
s("ProSettingDlg", [("BrowseTitle","Please choose a folder","请选择路径")])
import collections
for lang, idx, head in (("EN_LAN.ini", 2, "; Lumora user-interface texts: English"), ("CN_LAN.ini", 3, "; Lumora user-interface texts: Chinese (simplified)")):
    out=[head]; last=None
    seen=set()
    for row in T:
        assert (row[0],row[1]) not in seen, row
        seen.add((row[0],row[1]))
        if row[0]!=last:
            out += ["", "[%s]"%row[0]]; last=row[0]
        out.append("%s=%s"%(row[1],row[idx]))
    open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", lang),"w",encoding="utf-8").write("\r\n".join(out)+"\r\n")
