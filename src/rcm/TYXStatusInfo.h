#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The state that GetTYXStatus reports; the executor hands it over as the bytes of the record.
struct stTYXStatusInfo
{
    int32_t Reserved = 0;
    uint8_t Recording = 0;
    uint8_t BCLiving = 0;
    int32_t MuxLayout = 22; // no mux
    int64_t BootTime = 0;   // seconds since 1970
    wchar_t CaseNo[32] = {};
    wchar_t CaseName[32] = {};
    char FocusVideo[64] = {};
    char StandaloneOutput[64] = {};
    char ReservedText[64] = {};
};

// The three status lines of the record.
std::string BuildStatusText(const stTYXStatusInfo &status);
// The record from an executor reply, false when the reply is too short to hold one.
bool StatusInfoFromReply(const std::vector<uint8_t> &reply, stTYXStatusInfo &status);
