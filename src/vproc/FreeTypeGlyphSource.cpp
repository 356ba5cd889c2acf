#include "vproc/FreeTypeGlyphSource.h"

#include "core/debuglog.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace {

struct stFontFile
{
    std::string path;
    int32_t index = 0;
    std::string family;
};

// fontconfig's answers, looked up once per name or character; fontconfig is asked under one lock.
class CFontCatalog
{
public:
    static CFontCatalog &Instance()
    {
        static CFontCatalog catalog;
        return catalog;
    }

    bool Resolve(const std::wstring &faceName, stFontFile &file)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_faces.find(faceName);
        if (found == m_faces.end()) {
            stFontFile resolved;
            if (!Match(faceName, resolved))
                return false;
            found = m_faces.emplace(faceName, resolved).first;
            WarnWhenNotMetricTwin(faceName, resolved.family);
        }
        file = found->second;
        return true;
    }

    // The first installed font after the face's own that has the character.
    bool ResolveFallback(const std::wstring &faceName, wchar_t character, stFontFile &file)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto key = std::make_pair(faceName, character);
        auto found = m_fallbacks.find(key);
        if (found == m_fallbacks.end()) {
            stFontFile resolved;
            const bool ok = Sort(faceName, character, resolved);
            if (m_fallbacks.size() > 4096)
                m_fallbacks.clear();
            found = m_fallbacks.emplace(key, ok ? resolved : stFontFile{}).first;
        }
        if (found->second.path.empty())
            return false;
        file = found->second;
        return true;
    }

private:
    CFontCatalog() { m_ready = FcInit() == FcTrue; }

    static std::string Narrow(const std::wstring &text)
    {
        std::string out;
        for (wchar_t c : text)
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return out;
    }

    FcPattern *MakePattern(const std::wstring &faceName)
    {
        FcPattern *pattern = FcPatternCreate();
        if (!pattern)
            return nullptr;
        const std::string family = Narrow(faceName);
        if (!family.empty())
            FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family.c_str()));
        FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        return pattern;
    }

    static bool Fill(FcPattern *font, stFontFile &file)
    {
        FcChar8 *path = nullptr;
        int index = 0;
        if (FcPatternGetString(font, FC_FILE, 0, &path) != FcResultMatch || !path)
            return false;
        if (FcPatternGetInteger(font, FC_INDEX, 0, &index) != FcResultMatch)
            index = 0;
        FcChar8 *family = nullptr;
        if (FcPatternGetString(font, FC_FAMILY, 0, &family) == FcResultMatch && family)
            file.family = reinterpret_cast<const char *>(family);
        file.path = reinterpret_cast<const char *>(path);
        file.index = index;
        return true;
    }

    bool Match(const std::wstring &faceName, stFontFile &file)
    {
        if (!m_ready)
            return false;
        FcPattern *pattern = MakePattern(faceName);
        if (!pattern)
            return false;
        FcResult result = FcResultNoMatch;
        FcPattern *font = FcFontMatch(nullptr, pattern, &result);
        const bool ok = font && Fill(font, file);
        if (font)
            FcPatternDestroy(font);
        FcPatternDestroy(pattern);
        return ok;
    }

    bool Sort(const std::wstring &faceName, wchar_t character, stFontFile &file)
    {
        if (!m_ready)
            return false;
        FcPattern *pattern = MakePattern(faceName);
        if (!pattern)
            return false;
        FcResult result = FcResultNoMatch;
        FcFontSet *fonts = FcFontSort(nullptr, pattern, FcFalse, nullptr, &result);
        bool ok = false;
        for (int i = 0; fonts && i < fonts->nfont && !ok; ++i) {
            FcCharSet *chars = nullptr;
            if (FcPatternGetCharSet(fonts->fonts[i], FC_CHARSET, 0, &chars) != FcResultMatch || !chars)
                continue;
            if (FcCharSetHasChar(chars, static_cast<FcChar32>(character)))
                ok = Fill(fonts->fonts[i], file);
        }
        if (fonts)
            FcFontSetDestroy(fonts);
        FcPatternDestroy(pattern);
        return ok;
    }

    static void WarnWhenNotMetricTwin(const std::wstring &faceName, const std::string &family)
    {
        if (faceName == L"Arial" && family != "Arial" && family != "Liberation Sans")
            TYX_LOG(3, L"Font \"Arial\" resolved to \"%S\", whose metrics differ; texts change their size.",
                    family.c_str());
    }

    std::mutex m_mutex;
    bool m_ready = false;
    std::map<std::wstring, stFontFile> m_faces;
    std::map<std::pair<std::wstring, wchar_t>, stFontFile> m_fallbacks;
};

// The em size in pixels that gives a GDI cell (ascent + descent of the Windows metrics) of `height`.
double EmPixelsForCell(FT_Face face, int32_t height, double &ascentShare)
{
    double ascent = face->ascender;
    double descent = -static_cast<double>(face->descender);
    const auto *os2 = static_cast<const TT_OS2 *>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->usWinAscent + os2->usWinDescent > 0) {
        ascent = os2->usWinAscent;
        descent = os2->usWinDescent;
    }
    const double cell = ascent + descent > 0 ? ascent + descent : face->units_per_EM;
    ascentShare = cell > 0 ? ascent / cell : 0.8;
    return height * static_cast<double>(face->units_per_EM) / cell;
}

class CFreeTypeFace : public COsdFontFace
{
public:
    CFreeTypeFace(const stOsdFont &font) : m_font(font) {}
    ~CFreeTypeFace() override
    {
        for (auto &item : m_fallbacks) {
            if (item.second)
                FT_Done_Face(item.second);
        }
        if (m_face)
            FT_Done_Face(m_face);
        if (m_library)
            FT_Done_FreeType(m_library);
    }
    CFreeTypeFace(const CFreeTypeFace &) = delete;
    CFreeTypeFace &operator=(const CFreeTypeFace &) = delete;

    int32_t Open(int32_t &lastError)
    {
        FT_Error error = FT_Init_FreeType(&m_library);
        if (error) {
            m_library = nullptr;
            lastError = error;
            return -2;
        }
        stFontFile file;
        if (m_font.height < 1 || !CFontCatalog::Instance().Resolve(m_font.faceName, file)) {
            lastError = FT_Err_Cannot_Open_Resource;
            return -4;
        }
        error = FT_New_Face(m_library, file.path.c_str(), file.index, &m_face);
        if (error) {
            m_face = nullptr;
            lastError = error;
            return -4;
        }
        m_primaryPath = file.path;
        double ascentShare = 0.8;
        m_emPixels = EmPixelsForCell(m_face, m_font.height, ascentShare);
        error = SetSize(m_face);
        if (error) {
            lastError = error;
            return -6;
        }
        m_metrics.height = m_font.height;
        m_metrics.ascent = static_cast<int32_t>(std::lround(m_font.height * ascentShare));
        m_metrics.maxCharWidth = static_cast<int32_t>((m_face->size->metrics.max_advance + 63) / 64);
        return 0;
    }

    int32_t GetTextMetrics(stOsdTextMetrics &metrics) override
    {
        if (!m_face || m_metrics.height < 1 || m_metrics.maxCharWidth < 1)
            return -8;
        metrics = m_metrics;
        return 0;
    }

    int32_t GetGlyph(wchar_t character, stOsdGlyph &glyph) override
    {
        FT_Face face = FaceFor(character);
        if (!face)
            return -1;
        if (FT_Load_Char(face, static_cast<FT_ULong>(character), FT_LOAD_RENDER | FT_LOAD_TARGET_MONO))
            return -2;
        const FT_GlyphSlot slot = face->glyph;
        const FT_Bitmap &bitmap = slot->bitmap;
        glyph = stOsdGlyph{};
        glyph.advance = static_cast<int32_t>(slot->advance.x >> 6);
        glyph.originX = slot->bitmap_left;
        glyph.originY = slot->bitmap_top;
        if (bitmap.width == 0 || bitmap.rows == 0 || !bitmap.buffer)
            return 0;
        if (bitmap.pixel_mode != FT_PIXEL_MODE_MONO)
            return -2;
        glyph.width = static_cast<int32_t>(bitmap.width);
        glyph.rows = static_cast<int32_t>(bitmap.rows);
        glyph.pitch = static_cast<int32_t>((bitmap.width + 7) / 8);
        glyph.bits.assign(static_cast<size_t>(glyph.pitch) * glyph.rows, 0);
        const int32_t sourcePitch = bitmap.pitch < 0 ? -bitmap.pitch : bitmap.pitch;
        for (int32_t row = 0; row < glyph.rows; ++row) {
            const int32_t sourceRow = bitmap.pitch < 0 ? glyph.rows - 1 - row : row;
            std::memcpy(&glyph.bits[static_cast<size_t>(row) * glyph.pitch],
                        bitmap.buffer + static_cast<size_t>(sourceRow) * sourcePitch, static_cast<size_t>(glyph.pitch));
        }
        // FreeType gives a blank a 1x1 box with nothing set; like GDI, a blank has no bitmap.
        if (std::all_of(glyph.bits.begin(), glyph.bits.end(), [](uint8_t byte) { return byte == 0; })) {
            glyph.bits.clear();
            glyph.width = 0;
            glyph.rows = 0;
        }
        return 0;
    }

private:
    FT_Error SetSize(FT_Face face) const
    {
        const auto emSize = static_cast<FT_F26Dot6>(std::lround(m_emPixels * 64.0));
        return FT_Set_Char_Size(face, 0, emSize > 0 ? emSize : 64, 72, 72);
    }

    FT_Face FaceFor(wchar_t character)
    {
        if (!m_face)
            return nullptr;
        if (FT_Get_Char_Index(m_face, static_cast<FT_ULong>(character)) != 0)
            return m_face;
        stFontFile file;
        if (!CFontCatalog::Instance().ResolveFallback(m_font.faceName, character, file) || file.path == m_primaryPath)
            return nullptr;
        const std::string key = file.path + "#" + std::to_string(file.index);
        auto found = m_fallbacks.find(key);
        if (found == m_fallbacks.end()) {
            FT_Face face = nullptr;
            if (FT_New_Face(m_library, file.path.c_str(), file.index, &face) || SetSize(face)) {
                if (face)
                    FT_Done_Face(face);
                face = nullptr;
            }
            found = m_fallbacks.emplace(key, face).first;
        }
        FT_Face face = found->second;
        return face && FT_Get_Char_Index(face, static_cast<FT_ULong>(character)) != 0 ? face : nullptr;
    }

    stOsdFont m_font;
    FT_Library m_library = nullptr;
    FT_Face m_face = nullptr;
    std::string m_primaryPath;
    double m_emPixels = 0.0;
    stOsdTextMetrics m_metrics;
    std::map<std::string, FT_Face> m_fallbacks;
};

} // namespace

int32_t CFreeTypeGlyphSource::OpenFont(const stOsdFont &font, std::unique_ptr<COsdFontFace> &face, int32_t &lastError)
{
    lastError = 0;
    auto opened = std::make_unique<CFreeTypeFace>(font);
    const int32_t result = opened->Open(lastError);
    if (result < 0)
        return result;
    face = std::move(opened);
    return 0;
}

std::shared_ptr<COsdGlyphSource> DefaultOsdGlyphSource()
{
    static const std::shared_ptr<COsdGlyphSource> source = std::make_shared<CFreeTypeGlyphSource>();
    return source;
}
