#include "platform/TextCodec.h"

#include <iconv.h>

#include <cerrno>

namespace {

// GB18030 is the superset of GBK that every wide character maps into; its GBK range is
// byte-for-byte GBK, which is what stored files and peers hold.
constexpr const char *kGbk = "GB18030";
constexpr const char *kWide = "WCHAR_T";
constexpr const char *kUtf8 = "UTF-8";

class CIconv
{
public:
    CIconv(const char *from, const char *to) : m_cd(iconv_open(to, from)) {}
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
    CIconv converter(from, to);
    if (!converter.Valid())
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
        const size_t rc = flushing ? iconv(converter.Handle(), nullptr, nullptr, &dst, &outLeft)
                                   : iconv(converter.Handle(), &in, &inLeft, &dst, &outLeft);
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
