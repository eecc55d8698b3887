// Stand-in for the ThroughTek AV library: AV channels over an IOTC session (see IOTCAPIs.h), with
// IO-control messages, video frames and audio frames, each carried with its frame information.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define AV_ER_NoERROR 0
#define AV_ER_INVALID_ARG (-20000)
#define AV_ER_BUFPARA_MAXSIZE_INSUFF (-20001)
#define AV_ER_EXCEED_MAX_CHANNEL (-20002)
#define AV_ER_INVALID_SID (-20010)
#define AV_ER_TIMEOUT (-20011)
#define AV_ER_DATA_NOREADY (-20012)
#define AV_ER_INCOMPLETE_FRAME (-20013)
#define AV_ER_LOSED_THIS_FRAME (-20014)
#define AV_ER_SESSION_CLOSE_BY_REMOTE (-20015)
#define AV_ER_REMOTE_TIMEOUT_DISCONNECT (-20016)
#define AV_ER_NOT_INITIALIZED (-20019)
#define AV_ER_SENDIOCTRL_BUSY (-20021)

int avInitialize(int maxChannels);
int avDeInitialize(void);

// Starts an AV channel as its client; returns an AV index.
int avClientStart2(int sessionId, const char* account, const char* password, unsigned int timeoutSec,
                   unsigned int* serverType, unsigned char channelId, int* resend);
// Starts an AV channel as its server (the talk channel of a client; every channel of a device).
typedef int (*avAuthFn)(const char* account, char* password);
int avServStart3(int sessionId, avAuthFn auth, unsigned int timeoutSec, unsigned int serverType,
                 unsigned char channelId, int* resend);
void avClientStop(int avIndex);
void avServStop(int avIndex);

// IO-control messages: at most 1024 bytes each. avSendIOCtrl returns 0 when sent.
int avSendIOCtrl(int avIndex, unsigned int type, const char* data, int length);
// Returns the length received, or AV_ER_TIMEOUT when nothing arrived within timeoutMs.
int avRecvIOCtrl(int avIndex, unsigned int* type, char* buffer, int maxLength, unsigned int timeoutMs);
int avSendIOCtrlExit(int avIndex);

// Frames. The receive calls do not wait long: AV_ER_DATA_NOREADY means no complete frame yet.
int avSendFrameData(int avIndex, const char* data, int length, const void* frameInfo, int infoSize);
int avRecvFrameData2(int avIndex, char* buffer, int bufferSize, int* actualSize, int* expectedSize,
                     char* frameInfo, int infoMaxSize, int* infoSize, unsigned int* frameIndex);
int avSendAudioData(int avIndex, const char* data, int length, const void* frameInfo, int infoSize);
int avRecvAudioData(int avIndex, char* buffer, int bufferSize, char* frameInfo, int infoMaxSize, unsigned int* frameIndex);

#ifdef __cplusplus
}
#endif
