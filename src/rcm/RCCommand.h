#pragma once

#include <array>
#include <cstdint>
#include <string>

// The executor's result for a command whose texts the part that uses them refused, so that nothing
// changed: the client gets the protocol's bad-parameter error, as for a value the check refuses.
constexpr int32_t TYX_RC_TEXT_REFUSED = -308;

// One remote command's validated parameters, filled by CheckRcmCommand and read by the executor.
// Which field carries what is fixed per command by the check.
struct stRCCommand
{
    int32_t Number1 = 0;  // the main numeric parameter (an id, a region, a monitor, a layout, a packed value)
    uint32_t Number2 = 0; // a second numeric or packed parameter
    uint32_t Number3 = 0; // a third packed parameter
    uint32_t Number4 = 0; // 16 bits: the decoder engine of the source commands
    std::array<std::string, 4> Texts;      // UTF-8, in the order of the command's text parameters
    std::array<std::wstring, 4> WideTexts; // address, mask and gateway of SetServerAddr
};
