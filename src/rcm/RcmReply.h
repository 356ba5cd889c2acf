#pragma once

#include "rcm/RcmHttpDaemon.h"

#include <cstdint>
#include <string>

// A reply body: the text, then "CommandSN=" and the serial number when it is not 0, then " & "
// and the extra text when there is one.
stHttpResponse MakeRcmResponse(int32_t status, const std::string &text, uint32_t commandSn,
                               const std::string &extra = std::string());
// The reply of an RCM error code with its text and HTTP status (500 "Internal Error" for a code
// the tables lack).
stHttpResponse MakeRcmError(int32_t rcmCode, uint32_t commandSn, const std::string &extra = std::string());
