// Stand-in for the ThroughTek IOTC session library. The real library reaches devices through
// ThroughTek's servers; this one reaches them over loopback TCP through the UID directory of
// LoopLink.h. Only the calls, arguments and result codes the device link relies on are offered,
// plus the device side (login and listen) that the simulated camera needs.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define IOTC_ER_NoERROR 0
#define IOTC_ER_NOT_INITIALIZED (-12)
#define IOTC_ER_UNKNOWN_DEVICE (-19)
#define IOTC_ER_TIMEOUT (-13)
#define IOTC_ER_INVALID_SID (-14)
#define IOTC_ER_EXCEED_MAX_SESSION (-18)
#define IOTC_ER_CONNECT_IS_CALLING (-20)
#define IOTC_ER_SESSION_CLOSE_BY_REMOTE (-22)
#define IOTC_ER_LISTEN_ALREADY_CALLED (-23)
#define IOTC_ER_INVALID_ARG (-46)

#define IOTC_MODE_P2P 0
#define IOTC_MODE_RELAY 1
#define IOTC_MODE_LAN 2

// Session information; the first byte is the connection mode.
typedef struct {
    char Mode;
    char reserved[3];
    char RemoteIP[48];
    unsigned short RemotePort;
    unsigned short reserved2;
} st_SInfo;

int IOTC_Initialize2(unsigned short udpPort);
int IOTC_DeInitialize(void);
void IOTC_Setup_Session_Alive_Timeout(unsigned int seconds);
// Reserves a session id for a following connect; negative when none is free.
int IOTC_Get_SessionID(void);
// Connects the reserved session id to the device; returns the session id or a negative code.
int IOTC_Connect_ByUID_Parallel(const char* uid, int sessionId);
int IOTC_Session_Check(int sessionId, st_SInfo* info);
void IOTC_Session_Close(int sessionId);

// Device side.
int IOTC_Device_Login(const char* uid, const char* name, const char* password);
// Waits up to timeoutMs for a client; returns its session id.
int IOTC_Listen(unsigned int timeoutMs);

#ifdef __cplusplus
}
#endif
