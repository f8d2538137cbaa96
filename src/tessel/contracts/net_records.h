// Plain records that cross the boundary to the network library: link parameters, the set-up
// records of clients and servers, the kind-1 notices, the disconnect-reason record and reasons.
#pragma once

#include <cstdint>
#include <string>

// Thirteen words that only the network library interprets; index names below. Words 1 and 5
// non-zero make an encoded link (the client then waits for the "encoding agreed" notice).
// Word 1 non-zero: the link is TLS 1.3 (certificates and keys under config/tls; a client
// verifies that the server's certificate names the link or the address it connected to, and
// reports the agreement once it has); on a server, 2 also demands a client certificate that the
// server's CA vouches for. A peer that fails the hand-shake is cut (reason 4). Word 5 non-zero:
// every record above a small size is sent packed on its own with zstd; any link unpacks.
struct stNetParam {
  unsigned int word[13] = {0, 0, 0, 0, 0, 0, 0, 0, 512, 102400, 0, 102400, 0};

  bool IsEncoded() const { return word[NetParam_Encode] != 0 || word[NetParam_Compress] != 0; }

  enum : int {
    NetParam_Reserved0 = 0,       // unused
    NetParam_Encode = 1,          // 1: TLS 1.3; 2 on a server: TLS with client certificates
    NetParam_IdleMs = 2,          // a link that received nothing for this long is cut (reason 11)
    NetParam_FirstMsgMs = 3,      // a link that received nothing since connect is cut (reason 12)
    NetParam_FloodRecords = 4,    // most records received per second (reason 5); 0 = no limit
    NetParam_Compress = 5,        // non-zero: records are sent packed (zstd), each on its own
    NetParam_FloodKBytes = 6,     // most KiB received per second (reason 5); 0 = no limit
    NetParam_Reserved7 = 7,       // unused
    NetParam_SendQueueKB = 8,     // bound of unsent bytes in KiB (reason 3); 0 = 512
    NetParam_MaxRecvRecord = 9,   // largest record accepted from the peer (reason 6); 0 = 102400
    NetParam_Reserved10 = 10,     // unused
    NetParam_MaxSendRecord = 11,  // largest record Send takes (larger: returns 0); 0 = 102400
    NetParam_Reserved12 = 12,     // unused
  };
};
// Idle limits of 0 use these (milliseconds). Servers cut their links with the reason; a client
// cuts its link and reports state 2 with the reason as error, then state 5 with ETIMEDOUT.
inline constexpr unsigned int kNetDefaultIdleMs = 60000;
inline constexpr unsigned int kNetDefaultFirstMsgMs = 30000;

// The connection record of a client link; the network library gets a pointer to it in Init.
struct stClientInfo {
  std::string name = "unknow client";
  std::string serverip;
  std::string serverip2;
  unsigned short port = 0;
  stNetParam net;
  // words[0]: local IPv4 address to bind before connecting, host byte order (0 = any);
  // words[1], words[2]: unused.
  unsigned int words[3] = {0, 0, 0};
  bool autoconnect = false;
  bool autoreconnect = false;
  int reconnecttime = 10;
  bool autologin = true;
  std::string account;
  std::string password;
};

// The set-up record of a listening server (Init's param points to one).
struct stServerInfo {
  char name[68] = {};                  // zero-terminated, at most 67 characters
  unsigned int maxlinks = 100;         // most links open at once; 0 = no bound (65535 ids)
  unsigned int port = 0;               // listening port; 0 = a free port chosen by the system
  unsigned int bindip = 0;             // IPv4 address to listen on, host byte order
                                       // (0x7F000001 = 127.0.0.1); 0 = all interfaces
  unsigned int backlog = 1024;         // listen backlog
  unsigned int word6 = 0;              // unused
  stNetParam net;                      // parameters of every link of this server
  unsigned int checkms = 200;          // period of the idle/limit check of the links, milliseconds
  unsigned int readbuffer = 2048;      // first read buffer of a link, bytes
  unsigned int maxreadbuffer = 40960;  // read buffer a link keeps between bursts, bytes
  unsigned int word11 = 20480;         // unused
  unsigned int word12 = 512;           // unused
  unsigned int word13 = 0;             // unused
  unsigned int word14 = 0;             // unused
  unsigned int word15 = 1;             // unused
  unsigned int word16 = 10;            // unused
};

// Kind-1 notices: a 16-bit notice type, 16 bits of padding, then 32-bit fields.
enum : uint16_t { NetNotice_Server = 0, NetNotice_Client = 1 };

// Server link events (stNetNoticeServer::event).
enum : uint32_t { NetEvent_Created = 0, NetEvent_Connected = 3, NetEvent_Disconnected = 6 };

// Client link states (stNetNoticeClient::state).
enum : uint32_t {
  NetState_SendError = 1,
  NetState_RecvError = 2,
  NetState_ConnectError = 3,   // the address could not be used (error: errno value)
  NetState_ConnectResult = 4,  // error 0 = connected, else the errno value of the failure
  NetState_ServerDown = 5,     // an established link went down (error: errno value or 0)
  NetState_EncodeOk = 7,
};

struct stNetNoticeServer {
  uint16_t type = NetNotice_Server;
  uint16_t pad = 0;
  uint32_t event = 0;
  uint32_t id = 0;
  uint32_t reason = 0;  // for NetEvent_Disconnected: a NetDisconnectReason
};

// Delivered with size offsetof(ip) + strlen(ip) + 1.
struct stNetNoticeClient {
  uint16_t type = NetNotice_Client;
  uint16_t pad = 0;
  uint32_t state = 0;
  uint32_t error = 0;
  char ip[64] = {};  // the peer address, NUL-terminated
};

// Record type 5 (arrives as kind 2): the reason a server is about to cut the link.
inline constexpr uint16_t kNetDisconnectRecordType = 5;
struct stNetDisconnectRecord {
  uint16_t type = kNetDisconnectRecordType;
  uint16_t id = 0;
  uint32_t reason = 0;
  uint32_t error = 0;
};

enum NetDisconnectReason : uint32_t {
  NetReason_None = 0,
  NetReason_System = 1,  // the peer closed the link
  NetReason_SendBufferBig = 2,
  NetReason_SendQueueFull = 3,
  NetReason_Encode = 4,
  NetReason_TooFast = 5,
  NetReason_TooBig = 6,
  NetReason_RecvPackBig = 7,
  NetReason_RecvUnzip = 8,
  NetReason_RecvUnpack = 9,  // a malformed frame
  NetReason_RecvUngroup = 10,
  NetReason_Idle = 11,
  NetReason_NoMsgAfterConnect = 12,
  NetReason_Abnormal = 13,  // connection reset or other socket failure
  NetReason_Write = 14,
  NetReason_Read = 15,
  NetReason_Bind = 16,
  NetReason_InvalidIP = 17,
  NetReason_CardExpired = 18,
  NetReason_MapLost = 19,
  NetReason_MapNotReady = 20,
  NetReason_Leave = 21,  // the holder released or disconnected the link
  NetReason_GMForbid = 22,
  NetReason_RoleData = 23,
  NetReason_SpeedCheat = 24,
  NetReason_WaitDone = 25,
  NetReason_ServerClose = 26,
  NetReason_Count = 27,
};

inline constexpr const char* kNetDisconnectText[NetReason_Count] = {
    "没有错误",
    "系统检测到断线",
    "发送buffer太大",
    "发送buffer的消息超过上限值",
    "加密错误",
    "消息太快",
    "消息太大",
    "接收打包的消息太大",
    "接收解压错误",
    "接收解大包错误",
    "接收解组错误",
    "长时间没有消息发送",
    "连接之后长时间没有消息",
    "网络异常断开",
    "写错误",
    "度错误",
    "绑定到端口错误",
    "无效IP",
    "月卡时间到期或者没有足够的点数",
    "地图服务器意外断开",
    "地图服务器尚未准备好",
    "正常离开",
    "GM禁止",
    "角色数据错误",
    "角色使用加速器",
    "角色等待完毕",
    "服务器关闭",
};
