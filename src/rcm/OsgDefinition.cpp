#include "rcm/OsgDefinition.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>

namespace {

constexpr size_t NAME_MAX_LENGTH = 15;
using OsgPairs = std::map<std::string, std::string>;
using OsgItems = std::map<std::string, OsgPairs>;

// Keys of the curve angles: GBK as the management clients send them, UTF-8 as a Linux client would.
constexpr const char *OMEGA_KEYS[] = {"\xA6\xD8", "\xCF\x89"};
constexpr const char *THETA_KEYS[] = {"\xA6\xC8", "\xCE\xB8"};

bool LengthFits(size_t length)
{
    return length >= 1 && length <= NAME_MAX_LENGTH;
}

// Reads the pairs between first and the item's ";" (end); a pair that is malformed, or whose value
// would run past the ";", ends the pairs with what was read.
OsgPairs ReadPairs(std::string_view text, size_t first, size_t end)
{
    OsgPairs pairs;
    size_t pos = first;
    while (pos < end) {
        const size_t equal = text.find('=', pos);
        if (equal == std::string_view::npos || equal >= end)
            break;
        if (equal == pos) {
            ++pos;
            continue;
        }
        const size_t comma = text.find(',', pos);
        if (comma == std::string_view::npos || comma > end)
            break;
        if (comma < equal) {
            pos = comma + 1;
            continue;
        }
        const size_t keyLength = equal - pos;
        const size_t valueLength = comma - equal - 1;
        if (!LengthFits(keyLength) || !LengthFits(valueLength))
            break;
        pairs.emplace(std::string(text.substr(pos, keyLength)), std::string(text.substr(equal + 1, valueLength)));
        pos = comma + 1;
    }
    return pairs;
}

OsgItems ReadItems(std::string_view text)
{
    OsgItems items;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t colon = text.find(':', pos);
        if (colon == std::string_view::npos || !LengthFits(colon - pos))
            break;
        const size_t end = text.find(';', pos);
        if (end == std::string_view::npos)
            break;
        OsgPairs pairs = ReadPairs(text, colon + 1, end);
        if (!pairs.empty())
            items.emplace(std::string(text.substr(pos, colon - pos)), std::move(pairs));
        pos = end + 1;
    }
    return items;
}

// The decimal conversions of the notation, bounded: a text that is no number reads as 0, a number
// outside the field's range is clamped to it.
template <typename T>
T ReadInteger(const std::string &value)
{
    const long long number = std::strtoll(value.c_str(), nullptr, 10);
    if (number < static_cast<long long>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (number > static_cast<long long>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(number);
}

float ReadFloat(const std::string &value, float fallback)
{
    const double number = std::strtod(value.c_str(), nullptr);
    // Infinite or undefined coefficients would make the curve drawer's arithmetic meaningless.
    if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
        return fallback;
    return static_cast<float>(number);
}

class CPairReader
{
public:
    explicit CPairReader(const OsgPairs &pairs) : m_pairs(pairs) {}

    const std::string *Find(const char *key) const
    {
        const auto it = m_pairs.find(key);
        return it == m_pairs.end() ? nullptr : &it->second;
    }
    template <typename T>
    void Integer(const char *key, T &field) const
    {
        if (const std::string *value = Find(key))
            field = ReadInteger<T>(*value);
    }
    void Float(const char *key, float &field) const
    {
        if (const std::string *value = Find(key))
            field = ReadFloat(*value, field);
    }
    void IntegerAsFloat(const char *key, float &field) const
    {
        if (const std::string *value = Find(key))
            field = static_cast<float>(ReadInteger<int32_t>(*value));
    }
    template <size_t N>
    void FloatOfAny(const char *const (&keys)[N], float &field) const
    {
        for (const char *key : keys) {
            if (Find(key)) {
                Float(key, field);
                return;
            }
        }
    }

private:
    const OsgPairs &m_pairs;
};

template <typename T>
void StoreRecord(const T &record, std::vector<uint8_t> &params)
{
    params.resize(sizeof(T));
    std::memcpy(params.data(), &record, sizeof(T));
}

void ApplyItemKeys(const CPairReader &reader, stOsgGeometry &geometry)
{
    geometry.origin = 8;
    reader.Integer("Unit", geometry.ratio);
    reader.Integer("wght", geometry.lineWidth);
    reader.Integer("lnClr", geometry.lineColor);
    reader.Integer("lnTp", geometry.lineStyle);
    reader.Integer("SpcLn", geometry.dashUnit);
    if (const std::string *value = reader.Find("Trsprt"))
        geometry.hollow = ReadInteger<int32_t>(*value) != 0 ? 1 : 0;
    reader.Integer("flClr", geometry.fillColor);
    reader.Integer("gmtTp", geometry.shape);
    reader.Integer("CrdOPs", geometry.origin);
    if (const std::string *value = reader.Find("AddPam")) {
        const uint32_t point = static_cast<uint32_t>(ReadInteger<int32_t>(*value));
        geometry.originX = static_cast<uint16_t>(point & 0xFFFFu);
        geometry.originY = static_cast<uint16_t>(point >> 16);
    }
}

void BuildPolygon(const CPairReader &reader, std::vector<uint8_t> &params)
{
    int32_t count = 5;
    reader.Integer("VrtxNum", count);
    // Outside 4..16 the record carries the count alone, which the drawer leaves out.
    stOsgPolygonParams polygon;
    polygon.VertexNum = static_cast<int16_t>(std::clamp<int32_t>(count, INT16_MIN, INT16_MAX));
    if (count < OSG_POLYGON_MIN_VERTICES || count > OSG_POLYGON_MAX_VERTICES) {
        params.resize(sizeof(int16_t));
        std::memcpy(params.data(), &polygon.VertexNum, sizeof(int16_t));
        return;
    }
    for (int32_t i = 1; i <= count; ++i) {
        reader.Integer(("VX" + std::to_string(i)).c_str(), polygon.X[i - 1]);
        reader.Integer(("VY" + std::to_string(i)).c_str(), polygon.Y[i - 1]);
    }
    const size_t arrayBytes = sizeof(int16_t) * static_cast<size_t>(count);
    params.resize(sizeof(int16_t) + 2 * arrayBytes);
    std::memcpy(params.data(), &polygon.VertexNum, sizeof(int16_t));
    std::memcpy(params.data() + sizeof(int16_t), polygon.X, arrayBytes);
    std::memcpy(params.data() + sizeof(int16_t) + arrayBytes, polygon.Y, arrayBytes);
}

bool BuildFigure(int32_t shape, const CPairReader &reader, std::vector<uint8_t> &params)
{
    switch (shape) {
    case GMT_STRAIGHT_LINE: {
        stOsgLineParams p{-260, -256, -262, -258};
        reader.Integer("StrtX", p.StartX);
        reader.Integer("StrtY", p.StartY);
        reader.Integer("EndX", p.EndX);
        reader.Integer("EndY", p.EndY);
        StoreRecord(p, params);
        return true;
    }
    case GMT_CIRCLE: {
        stOsgCircleParams p{-264, -264, 0};
        reader.Integer("CntrX", p.CentreX);
        reader.Integer("CntrY", p.CentreY);
        reader.Integer("Rds", p.Radius);
        StoreRecord(p, params);
        return true;
    }
    case GMT_ELLIPSE: {
        stOsgEllipseParams p{-264, -264, 0, 0};
        reader.Integer("CntrX", p.CentreX);
        reader.Integer("CntrY", p.CentreY);
        reader.Integer("MjrSem", p.MajorSemiaxis);
        reader.Integer("MnrSem", p.MinorSemiaxis);
        StoreRecord(p, params);
        return true;
    }
    case GMT_ARC:
    case GMT_ARCH:
    case GMT_SECTOR: {
        stOsgArcParams p;
        p.CentreX = -264;
        p.CentreY = -264;
        reader.Integer("CntrX", p.CentreX);
        reader.Integer("CntrY", p.CentreY);
        reader.Integer("Rds", p.Radius);
        reader.IntegerAsFloat("RStrt", p.RadianStart);
        reader.IntegerAsFloat("REnd", p.RadianEnd);
        StoreRecord(p, params);
        return true;
    }
    case GMT_TRIANGLE: {
        stOsgTriangleParams p;
        reader.Integer("Vrtx1X", p.Vertex1X);
        reader.Integer("Vrtx1Y", p.Vertex1Y);
        reader.Integer("Vrtx2X", p.Vertex2X);
        reader.Integer("Vrtx2Y", p.Vertex2Y);
        reader.Integer("Vrtx3X", p.Vertex3X);
        reader.Integer("Vrtx3Y", p.Vertex3Y);
        StoreRecord(p, params);
        return true;
    }
    case GMT_RECTANGLE: {
        stOsgRectangleParams p{-264, -264, 0, 0};
        reader.Integer("StrtX", p.StartX);
        reader.Integer("StrtY", p.StartY);
        reader.Integer("Wdth", p.Width);
        reader.Integer("Hght", p.Height);
        StoreRecord(p, params);
        return true;
    }
    case GMT_POLYGON:
        BuildPolygon(reader, params);
        return true;
    default:
        return false;
    }
}

bool BuildCurve(int32_t shape, const CPairReader &reader, std::vector<uint8_t> &params)
{
    switch (shape) {
    case GMT_LINEAR: {
        stOsgLinearParams p{1.0f, 0.0f};
        reader.Float("K", p.K);
        reader.Float("B", p.B);
        StoreRecord(p, params);
        return true;
    }
    case GMT_POWER:
    case GMT_EXPONENTIAL:
    case GMT_LOGARITHM: {
        stOsgPowerParams p{1.0f};
        reader.Float("A", p.A);
        StoreRecord(p, params);
        return true;
    }
    case GMT_PARABOLA: {
        stOsgParabolaParams p{1.0f, 0.0f, 0.0f};
        reader.Float("A", p.A);
        reader.Float("B", p.B);
        reader.Float("C", p.C);
        StoreRecord(p, params);
        return true;
    }
    case GMT_CUBIC: {
        stOsgCubicParams p{1.0f, 0.0f, 0.0f, 0.0f};
        reader.Float("A", p.A);
        reader.Float("B", p.B);
        reader.Float("C", p.C);
        reader.Float("D", p.D);
        StoreRecord(p, params);
        return true;
    }
    case GMT_SINUSOID:
    case GMT_COSINWAVE: {
        // The fourth value has no key and keeps its default.
        stOsgWaveParams p{1.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        reader.Float("A", p.A);
        reader.Float("K", p.K);
        reader.FloatOfAny(OMEGA_KEYS, p.W);
        reader.FloatOfAny(THETA_KEYS, p.Q);
        reader.Float("D", p.D);
        StoreRecord(p, params);
        return true;
    }
    case GMT_TANGENT:
    case GMT_COTANGENT:
    case GMT_ARCSIN:
    case GMT_ARCCOS:
    case GMT_ARCTAN:
    case GMT_ARCCOT:
        params.clear();
        return true;
    default:
        return false;
    }
}

bool BuildGeometry(const OsgPairs &pairs, stOsgGeometry &geometry)
{
    const CPairReader reader(pairs);
    ApplyItemKeys(reader, geometry);
    return BuildFigure(geometry.shape, reader, geometry.params) || BuildCurve(geometry.shape, reader, geometry.params);
}

} // namespace

int32_t ParseOsgDefinition(std::string_view definition, std::vector<stOsgGeometry> &items)
{
    items.clear();
    if (definition.size() < OSG_DEFINITION_MIN_LENGTH || definition.size() > OSG_DEFINITION_MAX_LENGTH)
        return -1;
    const OsgItems parsed = ReadItems(definition);
    if (parsed.empty())
        return 0;
    std::vector<stOsgGeometry> built;
    built.reserve(parsed.size());
    for (const auto &[name, pairs] : parsed) {
        stOsgGeometry geometry;
        if (!BuildGeometry(pairs, geometry))
            return -255;
        built.push_back(std::move(geometry));
    }
    items = std::move(built);
    return static_cast<int32_t>(items.size());
}
