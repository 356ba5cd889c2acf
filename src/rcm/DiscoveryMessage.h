#pragma once

// The discovery datagram: "**Q*V*T*V*Q*", "[%8.8d]", a type word, then "key=value;" fields.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

constexpr const char *DISCOVERY_MARKER = "**Q*V*T*V*Q*";
constexpr size_t DISCOVERY_MARKER_LENGTH = 12;
constexpr size_t DISCOVERY_MIN_DATAGRAM = 24;
constexpr size_t DISCOVERY_MAX_DATAGRAM = 512;
constexpr uint16_t DISCOVERY_REQUEST_PORT = 1938;
constexpr uint16_t DISCOVERY_ANSWER_PORT = 1937;

constexpr int32_t DISCOVERY_WHO_ARE = 1;     // "Who-are-KOV?"
constexpr int32_t DISCOVERY_WHOSE_IS = 2;    // "Whose-is?"
constexpr int32_t DISCOVERY_I_AM = 4;        // "I-am-KOV;"
constexpr int32_t DISCOVERY_NOTIFICATION = 8; // "Notification;"

using DiscoveryFields = std::map<std::string, std::string>;

struct stDiscoveryMessage
{
    int32_t type = 0;
    uint32_t sequence = 0;
    std::string sender; // dotted IPv4 address
    DiscoveryFields fields;
};

// The type word of a message type, or none for another type.
const char *DiscoveryTypeWord(int32_t type);

// Checks the size and the marker of a received datagram.
bool IsDiscoveryDatagram(const uint8_t *data, size_t length);
// Reads the sequence number, the type and the fields of a datagram that passed IsDiscoveryDatagram:
// the type (1, 2, 4 or 8), or 0 when the datagram is to be dropped.
int32_t ParseDiscoveryDatagram(const uint8_t *data, size_t length, stDiscoveryMessage &message);
// Reads "key=value;" fields: a malformed field ends the reading with what was read.
DiscoveryFields ParseDiscoveryFields(std::string_view text);
// The datagram text of a message; fields in ascending byte order of their keys, empty values as "0".
std::string ComposeDiscoveryText(int32_t type, uint32_t sequence, const DiscoveryFields &fields);
