// The discovery datagram reader on arbitrary bytes, and the server information read from its fields.
#include "rcm/DiscoveryMessage.h"
#include "rcm/ServerInfo.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    stDiscoveryMessage message;
    if (ParseDiscoveryDatagram(data, size, message) == 0)
        return 0;
    stServerInfo info;
    ParseServerInfo(message.fields, info);
    DiscoveryFields fields;
    BuildServerInfoFields(fields, info);
    ComposeDiscoveryText(message.type, message.sequence, fields);
    return 0;
}
