#include "platform/TextCodec.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <utility>

namespace {

// GB18030 is the superset of GBK that every wide character maps into; its GBK range is
// byte-for-byte GBK, which is what stored files and peers hold.
constexpr const char *kGbk = "GB18030";
constexpr const char *kWide = "WCHAR_T";
constexpr const char *kUtf8 = "UTF-8";

std::atomic<int64_t> g_openedConverters{0};

class CIconv
{
public:
    CIconv(const char *from, const char *to) : m_cd(iconv_open(to, from)) { g_openedConverters.fetch_add(1); }
    ~CIconv()
    {
        if (Valid())
            iconv_close(m_cd);
    }
    CIconv(const CIconv &) = delete;
    CIconv &operator=(const CIconv &) = delete;
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Handle() const { return m_cd; }

private:
    iconv_t m_cd;
};

// The calling thread's converter for a pair of encodings, opened on first use and back in its
// initial shift state; none when iconv does not know the pair.
CIconv *ThreadConverter(const char *from, const char *to)
{
    thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<CIconv>> converters;
    std::unique_ptr<CIconv> &converter = converters[{from, to}];
    if (!converter) {
        auto opened = std::make_unique<CIconv>(from, to);
        if (!opened->Valid())
            return nullptr;
        converter = std::move(opened);
    }
    iconv(converter->Handle(), nullptr, nullptr, nullptr, nullptr); // a failed call may have left a state
    return converter.get();
}

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string_view AsBytes(std::wstring_view text)
{
    return {reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t)};
}

std::optional<std::wstring> AsWide(std::optional<std::string> bytes)
{
    if (!bytes || bytes->size() % sizeof(wchar_t) != 0)
        return std::nullopt;
    std::wstring out(bytes->size() / sizeof(wchar_t), L'\0');
    bytes->copy(reinterpret_cast<char *>(out.data()), bytes->size());
    return out;
}

} // namespace

std::optional<std::string> CTextCodec::Convert(std::string_view input, const char *from, const char *to)
{
    if (!from || !to)
        return std::nullopt;
    CIconv *converter = ThreadConverter(from, to);
    if (!converter)
        return std::nullopt;
    std::string out;
    if (input.empty())
        return out;
    // The output size is found by converting, never guessed from the input.
    out.resize(input.size() * 2 + 16);
    char *in = const_cast<char *>(input.data());
    size_t inLeft = input.size();
    size_t written = 0;
    bool flushing = false;
    for (;;) {
        char *dst = out.data() + written;
        size_t outLeft = out.size() - written;
        // Once the input is consumed, a call without input writes any pending shift state.
        const size_t rc = flushing ? iconv(converter->Handle(), nullptr, nullptr, &dst, &outLeft)
                                   : iconv(converter->Handle(), &in, &inLeft, &dst, &outLeft);
        written = out.size() - outLeft;
        if (rc == static_cast<size_t>(-1)) {
            if (errno != E2BIG)
                return std::nullopt;
            out.resize(out.size() * 2);
            continue;
        }
        if (flushing)
            break;
        flushing = true;
    }
    out.resize(written);
    return out;
}

std::optional<std::string> CTextCodec::WideToUtf8(std::wstring_view text)
{
    return Convert(AsBytes(text), kWide, kUtf8);
}

std::string CTextCodec::WideToUtf8Replacing(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const auto code = static_cast<char32_t>(c);
        const bool encodable = code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        AppendUtf8(out, encodable ? code : U'\uFFFD');
    }
    return out;
}

int64_t CTextCodec::OpenedConverters()
{
    return g_openedConverters.load();
}

std::optional<std::wstring> CTextCodec::Utf8ToWide(std::string_view text)
{
    return AsWide(Convert(text, kUtf8, kWide));
}

std::optional<std::string> CTextCodec::WideToGbk(std::wstring_view text)
{
    return Convert(AsBytes(text), kWide, kGbk);
}

std::optional<std::wstring> CTextCodec::GbkToWide(std::string_view text)
{
    return AsWide(Convert(text, kGbk, kWide));
}
