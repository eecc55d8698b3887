/*
 * libTovel: UDP peer-to-peer sessions to a device id through rendezvous servers.
 *
 * Every function returns an int: a handle or 0 (or a byte count) on success, a negative code on
 * failure. Functions may be called from any thread. Waits are given in units of 100 ms.
 *
 * Codes: -1 not initialised; -3 time-out; -4 lookup failed (status 2) or denied; -5 bad argument or
 * unknown handle; -6 unknown handle (check) or lookup failed; -14 closed locally; -19 connect broken
 * off or library shut down; -21 no socket could be opened; -22 listen woken without a session;
 * -23 check of a session whose stored error is positive; -24 out of memory; -27 link lost;
 * -28 a channel's unread data reached its limit (the sender could not be held back);
 * -29 the connect ended in an unexpected state.
 */
#ifndef ORLIX_H
#define ORLIX_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ORLIX_API __attribute__((visibility("default")))
#else
#define ORLIX_API
#endif

#define ORLIX_API_VERSION 20161128

#define ORLIX_ERROR_NOT_INITIALIZED (-1)
#define ORLIX_ERROR_TIMEOUT (-3)
#define ORLIX_ERROR_ID_LOOKUP (-4)
#define ORLIX_ERROR_INVALID_ARGUMENT (-5)
#define ORLIX_ERROR_INVALID_SESSION (-6)
#define ORLIX_ERROR_SESSION_CLOSED (-14)
#define ORLIX_ERROR_CONNECT_BROKEN (-19)
#define ORLIX_ERROR_NO_SOCKET (-21)
#define ORLIX_ERROR_LISTEN_WOKEN (-22)
#define ORLIX_ERROR_BAD_STORED_ERROR (-23)
#define ORLIX_ERROR_OUT_OF_MEMORY (-24)
#define ORLIX_ERROR_LINK_LOST (-27)
#define ORLIX_ERROR_QUEUE_OVERFLOW (-28)
#define ORLIX_ERROR_UNEXPECTED_STATE (-29)

/* Highest number of bytes one Orlix_Write or Orlix_Read handles. */
#define ORLIX_MAX_TRANSFER 1048576
/* Data channels per session: 0 to 15. */
#define ORLIX_CHANNELS 16

/* The record Orlix_Check fills; the caller passes at least 84 bytes. Byte 81 is the connection
 * type: 1 direct, 2 punched through the NATs, 3 relayed. Socket addresses are in the IPv4 layout:
 * u16 family, u16 port in network order, 4 address bytes, 8 zero bytes. */
typedef struct Orlix_SessionInfo {
    int handle;
    unsigned char remoteAddress[16];
    unsigned char localAddress[16];
    unsigned char wanAddress[16];
    unsigned int reserved; /* 255 */
    char deviceId[24]; /* not terminated when the id has 24 characters or more */
    unsigned char role; /* 2 direct data, 3 relayed by the server */
    unsigned char connectionType;
    unsigned char padding[2];
} Orlix_SessionInfo;

/* The record Orlix_NetworkDetect fills (260 bytes). */
typedef struct Orlix_NetworkDetectInfo {
    unsigned char flags[4];
    char text1[128];
    char text2[128];
} Orlix_NetworkDetectInfo;

ORLIX_API int Orlix_GetAPIVersion(void);
ORLIX_API int Orlix_QueryDID(void);
ORLIX_API int Orlix_Initialize(const char* serverString);
ORLIX_API int Orlix_Initialize_IPv6(const char* serverString, const char* server1IPv6,
                                    const char* server2IPv6, const char* server3IPv6);
ORLIX_API int Orlix_DeInitialize(void);
/* mode 1: connecting side (default); 2: device side. Ids and passwords: at most 63 characters. */
ORLIX_API int Orlix_SetLoginInfo(const char* ownId, const char* password, int mode);
ORLIX_API int Orlix_LoginStatus_Check(void);
ORLIX_API int Orlix_NetworkDetect(Orlix_NetworkDetectInfo* info);
ORLIX_API int Orlix_Share_Bandwidth(void);
/* Device side: the handle of an accepted incoming session, waiting up to timeout x 100 ms. */
ORLIX_API int Orlix_Listen(const char* ownId, int timeout, int reserved1, int reserved2,
                           const char* password);
ORLIX_API int Orlix_Listen_Break(void);
/* Connecting side: opens (or reuses) the session to deviceId; lanSearch's low byte non-zero also
 * searches the local network. Blocks until connected or failed (about two minutes at most). */
ORLIX_API int Orlix_Connect(const char* deviceId, int lanSearch, int reserved);
ORLIX_API int Orlix_Connect_Break(const char* deviceId);
ORLIX_API int Orlix_Check(int handle, Orlix_SessionInfo* info);
ORLIX_API int Orlix_Close(int handle);
ORLIX_API int Orlix_ForceClose(int handle);
/* Returns the number of bytes accepted (length) or a negative code. */
ORLIX_API int Orlix_Write(int handle, int channel, const char* data, int length);
/* *length: in the buffer size, out the bytes delivered; timeout in units of 100 ms. */
ORLIX_API int Orlix_Read(int handle, int channel, char* buffer, int* length, int timeout);
ORLIX_API int Orlix_Check_Buffer(int handle, int channel, unsigned int* pendingWrite,
                                 unsigned int* readable);

#ifdef __cplusplus
}
#endif

#endif /* ORLIX_H */
