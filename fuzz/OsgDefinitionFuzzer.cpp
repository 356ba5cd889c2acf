// The compact graphics notation on arbitrary text; every item it yields must read back within bounds.
#include "rcm/OsgDefinition.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<stOsgGeometry> items;
    const int32_t count = ParseOsgDefinition(std::string_view(reinterpret_cast<const char *>(data), size), items);
    if (count > 0 && static_cast<size_t>(count) != items.size())
        std::abort();
    // A polygon's record is its count alone, or the count and 4 to 16 vertices.
    for (const stOsgGeometry &item : items) {
        if (item.shape != GMT_POLYGON || item.params.size() == sizeof(int16_t))
            continue;
        int16_t count = 0;
        std::memcpy(&count, item.params.data(), sizeof(count));
        if (count < OSG_POLYGON_MIN_VERTICES || count > OSG_POLYGON_MAX_VERTICES ||
            item.params.size() != sizeof(int16_t) * (1 + 2 * static_cast<size_t>(count)))
            std::abort();
    }
    return 0;
}
