#include "vproc/EmbeddedResource.h"

#include <algorithm>
#include <cwctype>

extern "C" const uint8_t tyx_anim105_start[];
extern "C" const uint8_t tyx_anim105_end[];

namespace {

struct stEmbeddedResource
{
    const wchar_t *typeName;
    int32_t id;
    const uint8_t *start;
    const uint8_t *end;
};

const stEmbeddedResource kResources[] = {
    {TYX_RES_ANIMATE_TYPE, TYX_RES_ANIMATE_ID, tyx_anim105_start, tyx_anim105_end},
};

bool SameName(const std::wstring &a, const wchar_t *b)
{
    const std::wstring other(b);
    return a.size() == other.size() && std::equal(a.begin(), a.end(), other.begin(), [](wchar_t x, wchar_t y) {
               return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
           });
}

} // namespace

bool FindEmbeddedResource(const std::wstring &typeName, int32_t id, const uint8_t **data, size_t *size)
{
    for (const stEmbeddedResource &resource : kResources) {
        if (resource.id != id || !SameName(typeName, resource.typeName))
            continue;
        if (data)
            *data = resource.start;
        if (size)
            *size = static_cast<size_t>(resource.end - resource.start);
        return true;
    }
    return false;
}
