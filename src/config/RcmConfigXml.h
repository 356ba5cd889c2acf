#pragma once

#include "core/RcmSettings.h"

#include <cstdint>
#include <string>

// Reads "RcmConfig.xml" into settings: 0, or the document's Load code with settings unchanged.
// Keys that are absent or unreadable take the values a missing key stands for.
int32_t LoadRcmConfigs(const std::wstring &path, stRcmSettings &settings);

// The session lifetime handed to the server, in milliseconds: the configured seconds when they lie
// in 60..7200, else 600 s.
int32_t RcmSessionExpiryMs(const stRcmSettings &settings);
// The notification lifetime in seconds, 60..7200, else 600.
int32_t RcmNotificationExpirySeconds(const stRcmSettings &settings);
// The connections each server holds at most: 64..65536, else the default.
uint32_t RcmConnectionLimit(const stRcmSettings &settings);
// The seconds a connection has to send its request: 1..60, else the default.
uint32_t RcmRequestTimeoutSeconds(const stRcmSettings &settings);
// The port of a plain control channel that is on: 1025..32767, anything else 1225.
int32_t RcmTcpListenPortInRange(int32_t port);
