#pragma once

#include <cstdint>
#include <map>
#include <string>

// The remote-control settings and users of "RcmConfig.xml", with the values a process starts with
// (they stand when the file cannot be loaded).

struct stRcmUser
{
    std::wstring username;
    std::wstring password;
    int32_t id = 0;
    int32_t Privilege = 0; // the sum of the category rights bits the user may use
    std::wstring comments;
};

// Connections each remote-control server holds at most, and the seconds a connection has to send a
// whole request: far more than the operators need, few enough to bound what a flood can take.
constexpr uint32_t RCM_DEFAULT_MAX_CONNECTIONS = 4096;
constexpr uint32_t RCM_DEFAULT_REQUEST_TIMEOUT = 5;

// User name (exact case) to user.
using RcmUserMap = std::map<std::wstring, stRcmUser>;

struct stRcmSettings
{
    uint8_t TcpCtrl = 1;
    int32_t TcpListenPort = 0;
    uint8_t HttpCtrl = 1;
    uint8_t HttpsCtrl = 0;
    int32_t HttpListenPort = 0;  // 0 stands for 80
    int32_t HttpsListenPort = 0; // 0 stands for 443
    int32_t SessionExpiredTime = 600000;
    int32_t NoficationExpiredTime = 600;
    uint8_t SendAckBeforeCmdFinish = 1;
    int32_t HttpMaxConnections = RCM_DEFAULT_MAX_CONNECTIONS;
    int32_t HttpRequestTimeout = RCM_DEFAULT_REQUEST_TIMEOUT; // seconds
    // PEM files of the HTTPS server; relative paths are found beside the program.
    std::wstring HttpsCertFile;
    std::wstring HttpsKeyFile;
    RcmUserMap Users;
};
