// Stand-in for the CS2 P2P library (PPCS_*). The real library reaches devices through CS2's
// servers; this one reaches them over loopback TCP through the UID directory of LoopLink.h.
// Only the calls, arguments and result codes that the device link relies on are offered, plus the
// device side (listen) that the simulated camera needs. Initialisation contacts nothing.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result codes.
#define PPCS_SUCCESSFUL 0
#define PPCS_ERR_NOT_INITIALIZED (-1)
#define PPCS_ERR_TIME_OUT (-3)
#define PPCS_ERR_INVALID_ID (-4)
#define PPCS_ERR_INVALID_PARAMETER (-5)
#define PPCS_ERR_DEVICE_NOT_ONLINE (-6)
#define PPCS_ERR_INVALID_SESSION_HANDLE (-11)
#define PPCS_ERR_SESSION_CLOSED_REMOTE (-12)
#define PPCS_ERR_SESSION_CLOSED_TIMEOUT (-13)
#define PPCS_ERR_SESSION_CLOSED_CALLED (-14)
#define PPCS_ERR_USER_CONNECT_BREAK (-27)
#define PPCS_ERR_USER_LISTEN_BREAK (-28)

// Connection modes found in byte 81 of the session record.
#define PPCS_MODE_P2P 0
#define PPCS_MODE_RELAY 1
#define PPCS_MODE_LAN 2

// Session information, 84 bytes; byte 81 holds the connection mode.
typedef struct {
    int32_t socket;
    char remoteAddress[32];
    char localAddress[32];
    char reserved[13];
    char mode;
    char reserved2[2];
} st_PPCS_Session;

int PPCS_Initialize(char* parameter);
int PPCS_DeInitialize(void);
// Connects to the device with that id; returns a session handle (0 or more) or a negative code.
int PPCS_Connect(const char* targetId, char enableLanSearch, unsigned short udpPort);
// Ends every connect still waiting, which then returns PPCS_ERR_USER_CONNECT_BREAK.
int PPCS_Connect_Break(void);
int PPCS_Check(int sessionHandle, st_PPCS_Session* info);
// Reads up to *size bytes on a channel, waiting up to timeoutMs. On PPCS_ERR_TIME_OUT, *size holds
// the bytes read before the time ran out (possibly some).
int PPCS_Read(int sessionHandle, unsigned char channel, char* data, int* size, unsigned int timeoutMs);
// Returns the bytes written or a negative code.
int PPCS_Write(int sessionHandle, unsigned char channel, const char* data, int size);
int PPCS_Close(int sessionHandle);

// Device side: waits up to timeoutSec for a client of this id; returns a session handle.
int PPCS_Listen(const char* myId, unsigned int timeoutSec, unsigned short udpPort, char enableInternet, const char* apiLicense);
int PPCS_Listen_Break(void);

#ifdef __cplusplus
}
#endif
