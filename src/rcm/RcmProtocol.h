#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The request parsers of the remote-control protocol: path segments, the query string and the
// parameter body. Pure functions on the caller's text; any thread may call.

// Key comparison of queries and bodies: ASCII letter case is ignored, as clients have always
// written "cmdsn" and "CMDSN" alike.
struct stRcmKeyLess
{
    bool operator()(const std::wstring &a, const std::wstring &b) const;
};
// Key to value; the first of two equal keys stays.
using RcmParamMap = std::map<std::wstring, std::wstring, stRcmKeyLess>;

// Parser errors (ErrorToRcmCodeTable turns them into RCM codes).
constexpr int32_t RCM_PARSE_PATH_LENGTH = -1;
constexpr int32_t RCM_PARSE_PATH_DEPTH = -6;
constexpr int32_t RCM_PARSE_QUERY_LENGTH = -11;
constexpr int32_t RCM_PARSE_QUERY_FORMAT = -12;
constexpr int32_t RCM_PARSE_QUERY_COUNT = -14;
constexpr int32_t RCM_PARSE_QUERY_KEY = -16;
constexpr int32_t RCM_PARSE_QUERY_VALUE = -18;
constexpr int32_t RCM_PARSE_BODY_LENGTH = -21;
constexpr int32_t RCM_PARSE_BODY_FORMAT = -22;
constexpr int32_t RCM_PARSE_BODY_COUNT = -24;
constexpr int32_t RCM_PARSE_BODY_KEY = -26;
constexpr int32_t RCM_PARSE_BODY_VALUE = -28;

constexpr size_t RCM_MAX_SEGMENTS = 16;

// Segment 1 is segments[0]. The number of segments, 0 for an empty path, -1 for a path of 256 or
// more characters (no segments), -6 at a 17th segment (the first 16 stay).
int32_t SplitUrlPath(std::string_view path, std::vector<std::string> &segments);
// The number of pairs (one leading "?" is dropped), 0 for an empty text, or a parser error.
// Pairs are split at "&" and at the first "=" before their escapes are decoded, so an escaped
// "&" or "=" is part of a value; an escape that decodes to NUL is refused as a bad value. One
// enclosing pair of quotes or blanks is removed after the decoding; an unbalanced one is refused.
int32_t ParseQueryString(std::string_view text, RcmParamMap &pairs);
// The same for a parameter body; line ends separate pairs like "&".
int32_t ParseRequestBody(std::string_view text, RcmParamMap &pairs);
// Replaces every "%" followed by two hexadecimal digits by that byte; false when one decodes to
// NUL. Any other "%" stays as it is.
bool PercentDecode(std::string_view text, std::string &out);
// True when the command has a non-empty parameter list.
bool CommandNeedsBody(const std::string &command);
