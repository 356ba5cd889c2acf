#include "rcm/DiscoveryMessage.h"

#include <cstdio>
#include <strings.h>

namespace {

constexpr size_t KEY_MIN = 2;
constexpr size_t KEY_MAX = 15;
constexpr size_t VALUE_MIN = 1;
constexpr size_t VALUE_MAX = 127;
constexpr size_t FIELD_TEXT_LIMIT = 512;
constexpr size_t SEQUENCE_DIGITS = 8;
constexpr size_t TYPE_WORD_OFFSET = 10; // after "[", eight digits and "]"

struct stTypeWord
{
    int32_t type;
    std::string_view word;
    bool anyCase;
};
constexpr stTypeWord TYPE_WORDS[] = {
    {DISCOVERY_WHO_ARE, "Who-are-KOV?", true},
    {DISCOVERY_WHOSE_IS, "Whose-is?", false},
    {DISCOVERY_I_AM, "I-am-KOV;", false},
    {DISCOVERY_NOTIFICATION, "Notification;", false},
};

bool StartsWith(std::string_view text, std::string_view word, bool anyCase)
{
    if (text.size() < word.size())
        return false;
    if (!anyCase)
        return text.substr(0, word.size()) == word;
    return strncasecmp(text.data(), word.data(), word.size()) == 0;
}

// The leading decimal digits of the eight characters; 0 when there are none.
uint32_t ReadSequence(std::string_view digits)
{
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

} // namespace

const char *DiscoveryTypeWord(int32_t type)
{
    for (const stTypeWord &entry : TYPE_WORDS) {
        if (entry.type == type)
            return entry.word.data();
    }
    return nullptr;
}

bool IsDiscoveryDatagram(const uint8_t *data, size_t length)
{
    return data != nullptr && length >= DISCOVERY_MIN_DATAGRAM && length <= DISCOVERY_MAX_DATAGRAM &&
           strncasecmp(reinterpret_cast<const char *>(data), DISCOVERY_MARKER, DISCOVERY_MARKER_LENGTH) == 0;
}

DiscoveryFields ParseDiscoveryFields(std::string_view text)
{
    DiscoveryFields fields;
    if (text.size() >= FIELD_TEXT_LIMIT)
        return fields;
    size_t pos = 0;
    for (;;) {
        const size_t equal = text.find('=', pos);
        const size_t semicolon = text.find(';', pos);
        if (equal == std::string_view::npos || semicolon == std::string_view::npos)
            break;
        if (semicolon < equal) {
            pos = semicolon + 1;
            continue;
        }
        const size_t keyLength = equal - pos;
        const size_t valueLength = semicolon - equal - 1;
        if (keyLength < KEY_MIN || keyLength > KEY_MAX || valueLength < VALUE_MIN || valueLength > VALUE_MAX)
            break;
        fields.emplace(std::string(text.substr(pos, keyLength)), std::string(text.substr(equal + 1, valueLength)));
        pos = semicolon + 1;
    }
    return fields;
}

int32_t ParseDiscoveryDatagram(const uint8_t *data, size_t length, stDiscoveryMessage &message)
{
    message.type = 0;
    message.sequence = 0;
    message.fields.clear();
    if (!IsDiscoveryDatagram(data, length))
        return 0;
    const std::string_view payload(reinterpret_cast<const char *>(data) + DISCOVERY_MARKER_LENGTH,
                                   length - DISCOVERY_MARKER_LENGTH);
    if (payload.size() <= 9)
        return 0;
    const uint32_t sequence = ReadSequence(payload.substr(1, SEQUENCE_DIGITS));
    if (sequence == 0)
        return 0;
    const std::string_view rest = payload.substr(std::min(TYPE_WORD_OFFSET, payload.size()));
    for (const stTypeWord &entry : TYPE_WORDS) {
        if (!StartsWith(rest, entry.word, entry.anyCase))
            continue;
        DiscoveryFields fields;
        if (entry.type != DISCOVERY_WHO_ARE) {
            fields = ParseDiscoveryFields(rest.substr(entry.word.size()));
            if (fields.empty())
                return 0;
        }
        message.type = entry.type;
        message.sequence = sequence;
        message.fields = std::move(fields);
        return entry.type;
    }
    return 0;
}

std::string ComposeDiscoveryText(int32_t type, uint32_t sequence, const DiscoveryFields &fields)
{
    const char *word = DiscoveryTypeWord(type);
    if (word == nullptr)
        return {};
    char number[16];
    std::snprintf(number, sizeof(number), "[%8.8u]", sequence);
    std::string text = std::string(DISCOVERY_MARKER) + number + word;
    for (const auto &[key, value] : fields)
        text += key + "=" + (value.empty() ? std::string("0") : value) + ";";
    return text;
}
