#pragma once

// Helpers shared by the reading and the writing of the adapter settings.

#include "platform/NetworkAdapters.h"

#include <cstdint>
#include <string>
#include <vector>

class CNetlinkSocket;

// Dotted text of a 4-byte address in network order.
std::string Ipv4Text(const void *address);
// "255.255.255.0" for 24.
std::string PrefixToIpv4Mask(uint32_t prefix);
// The gateway of the interface's default route in the main table (empty when none): 0 or -50.
int32_t ReadDefaultGateway(CNetlinkSocket &socket, int family, int32_t index, std::vector<uint8_t> &gateway);
