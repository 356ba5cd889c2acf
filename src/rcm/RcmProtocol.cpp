#include "rcm/RcmProtocol.h"

#include "core/TYXUtils.h"
#include "core/TextCompare.h"
#include "rcm/RcmTables.h"

#include <algorithm>

bool stRcmKeyLess::operator()(const std::wstring &a, const std::wstring &b) const
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return FoldAsciiCase(x) < FoldAsciiCase(y);
    });
}

namespace {

constexpr size_t kMaxPathLength = 256;

struct stPairRules
{
    size_t maxText;
    int32_t textError;
    size_t keyMin, keyMax;
    int32_t keyError;
    size_t valueMin, valueMax;
    int32_t valueError;
    size_t maxPairs;
    int32_t countError;
    int32_t formatError;
};

constexpr stPairRules kQueryRules = {255, RCM_PARSE_QUERY_LENGTH, 2, 15, RCM_PARSE_QUERY_KEY, 1, 127,
                                     RCM_PARSE_QUERY_VALUE, 16, RCM_PARSE_QUERY_COUNT, RCM_PARSE_QUERY_FORMAT};
constexpr stPairRules kBodyRules = {2047, RCM_PARSE_BODY_LENGTH, 1, 32, RCM_PARSE_BODY_KEY, 1, 510,
                                    RCM_PARSE_BODY_VALUE, 128, RCM_PARSE_BODY_COUNT, RCM_PARSE_BODY_FORMAT};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool IsEnclosingMark(char c)
{
    return c == '"' || c == '\'' || c == ' ';
}

// Removes one enclosing pair of quotes or blanks; false for an unbalanced one.
bool StripEnclosing(std::string_view &text)
{
    if (text.empty())
        return true;
    const bool front = IsEnclosingMark(text.front());
    const bool back = IsEnclosingMark(text.back());
    if (!front && !back)
        return true;
    if (text.size() < 2 || text.front() != text.back())
        return false;
    text = text.substr(1, text.size() - 2);
    return true;
}

// One raw "key=value" piece into decoded wide texts: 0 or the rules' error. The escapes are decoded
// before the enclosing quotes are removed, so a quote sent as "%22" counts as a quote.
int32_t ParsePair(std::string_view piece, const stPairRules &rules, std::wstring &key, std::wstring &value)
{
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos)
        return rules.formatError;
    std::string decodedKey, decodedValue;
    if (!PercentDecode(piece.substr(0, equals), decodedKey))
        return rules.keyError;
    if (!PercentDecode(piece.substr(equals + 1), decodedValue))
        return rules.valueError;
    std::string_view keyText = decodedKey;
    std::string_view valueText = decodedValue;
    if (!StripEnclosing(keyText) || !StripEnclosing(valueText))
        return rules.valueError;
    key = StringToWString(std::string(keyText));
    value = StringToWString(std::string(valueText));
    // Text that is not UTF-8 converts to nothing; it counts as too short.
    if (key.size() < rules.keyMin || key.size() > rules.keyMax)
        return rules.keyError;
    if (value.size() < rules.valueMin || value.size() > rules.valueMax)
        return rules.valueError;
    return 0;
}

int32_t ParsePairs(std::string_view text, const stPairRules &rules, RcmParamMap &pairs)
{
    if (text.size() > rules.maxText)
        return rules.textError;
    int32_t count = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty())
            continue; // "a=1&&b=2" and a closing "&"
        if (static_cast<size_t>(count) >= rules.maxPairs)
            return rules.countError;
        std::wstring key, value;
        const int32_t result = ParsePair(piece, rules, key, value);
        if (result != 0)
            return result;
        pairs.emplace(std::move(key), std::move(value));
        ++count;
    }
    return count;
}

} // namespace

bool PercentDecode(std::string_view text, std::string &out)
{
    out.clear();
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                const char decoded = static_cast<char>(high * 16 + low);
                if (decoded == '\0')
                    return false;
                out.push_back(decoded);
                i += 2;
                continue;
            }
        }
        if (text[i] == '\0')
            return false;
        out.push_back(text[i]);
    }
    return true;
}

int32_t SplitUrlPath(std::string_view path, std::vector<std::string> &segments)
{
    segments.clear();
    if (path.empty())
        return 0;
    if (path.size() >= kMaxPathLength)
        return RCM_PARSE_PATH_LENGTH;
    size_t start = 0;
    while (start < path.size()) {
        const size_t slash = path.find('/', start);
        const bool last = slash == std::string_view::npos;
        const std::string_view part = TrimBlanks(path.substr(start, (last ? path.size() : slash) - start));
        start = last ? path.size() : slash + 1;
        // A trailing one-character part is not a command name.
        if (part.empty() || (last && part.size() < 2))
            continue;
        if (segments.size() == RCM_MAX_SEGMENTS)
            return RCM_PARSE_PATH_DEPTH;
        segments.emplace_back(part);
    }
    return static_cast<int32_t>(segments.size());
}

int32_t ParseQueryString(std::string_view text, RcmParamMap &pairs)
{
    if (!text.empty() && text.front() == '?')
        text.remove_prefix(1);
    if (text.empty())
        return 0;
    return ParsePairs(text, kQueryRules, pairs);
}

int32_t ParseRequestBody(std::string_view text, RcmParamMap &pairs)
{
    if (text.empty())
        return 0;
    if (text.size() > kBodyRules.maxText)
        return kBodyRules.textError;
    std::string joined;
    joined.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            joined.push_back('&');
            ++i;
        } else if (text[i] == '\n') {
            joined.push_back('&');
        } else {
            joined.push_back(text[i]);
        }
    }
    return ParsePairs(joined, kBodyRules, pairs);
}

bool CommandNeedsBody(const std::string &command)
{
    const auto &table = RcmCommandParamTable();
    const auto found = table.find(command);
    return found != table.end() && !found->second.empty();
}
