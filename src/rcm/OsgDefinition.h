#pragma once

// The compact on-screen graphics notation of the remote commands ("name:key=value,...,;" items) turned
// into geometry items for a graphics drawer.

#include "vproc/OsgItem.h"

#include <cstdint>
#include <string_view>
#include <vector>

constexpr size_t OSG_DEFINITION_MIN_LENGTH = 56;
constexpr size_t OSG_DEFINITION_MAX_LENGTH = 1023;

// The number of items (at least 1, in ascending byte order of their names); 0 when the text holds no
// usable item; -1 for a text shorter than 56 or longer than 1023 bytes; -255 when an item's shape code
// is missing or not one of the drawable figures and curves. items receives the items (cleared on any
// result other than a positive count).
int32_t ParseOsgDefinition(std::string_view definition, std::vector<stOsgGeometry> &items);
