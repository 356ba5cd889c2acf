// The request parsers on arbitrary bytes: the raw URI split into path and query, and the body.
#include "rcm/RcmProtocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    // Up to the first line end: the URI; the rest: the body.
    const size_t split = input.find('\n');
    const std::string_view uri = input.substr(0, split);
    const std::string_view body = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    const size_t mark = uri.find('?');
    std::string path;
    if (PercentDecode(uri.substr(0, mark), path)) {
        std::vector<std::string> segments;
        const int32_t count = SplitUrlPath(path, segments);
        if (count > static_cast<int32_t>(RCM_MAX_SEGMENTS) || segments.size() > RCM_MAX_SEGMENTS)
            __builtin_trap();
    }
    RcmParamMap query;
    if (mark != std::string_view::npos) {
        const int32_t pairs = ParseQueryString(uri.substr(mark), query);
        if (pairs > 16 || (pairs >= 0 && query.size() > static_cast<size_t>(pairs)))
            __builtin_trap();
    }
    RcmParamMap params;
    const int32_t pairs = ParseRequestBody(body, params);
    if (pairs > 128 || (pairs >= 0 && params.size() > static_cast<size_t>(pairs)))
        __builtin_trap();
    for (const auto &[key, value] : params) {
        if (key.empty() || key.size() > 32 || value.empty() || value.size() > 510)
            __builtin_trap();
    }
    return 0;
}
