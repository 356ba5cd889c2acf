#pragma once

#include "rcm/RCCommand.h"
#include "rcm/RcmProtocol.h"

#include <cstdint>
#include <string>

// Results of CheckRcmCommand besides 0 and the RCM codes 304, 308 and 342.
constexpr int32_t RCM_CHECK_NO_ENTRY = -1;
constexpr int32_t RCM_CHECK_NO_CHECK = -2;

// Reads the command's parameters (command names in any case), checks them and packs them into
// record: 0, RCM_ERR_PARAM_MISSED, RCM_ERR_PARAM_VALUE, RCM_ERR_NOT_SUPPORTED, or one of the two
// codes above.
int32_t CheckRcmCommand(const std::string &command, const RcmParamMap &params, stRCCommand &record);

// The drawing target of an overlay stream-position name (the worker-reference roles of the
// overlay configuration), 0 for any other text.
int32_t ParseOverlayStreamPosition(const std::wstring &name);
