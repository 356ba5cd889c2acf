#include "vproc/OsgItem.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {

bool SameWord(const std::wstring &a, const wchar_t *b)
{
    const size_t length = std::wcslen(b);
    if (a.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i])))
            return false;
    }
    return true;
}

struct stKeyword
{
    const wchar_t *word;
    int32_t code;
};

int32_t Lookup(const std::wstring &keyword, const stKeyword *table, size_t count, int32_t otherwise)
{
    for (size_t i = 0; i < count; ++i) {
        if (SameWord(keyword, table[i].word))
            return table[i].code;
    }
    return otherwise;
}

const stKeyword kShapes[] = {
    {L"STRAIGHT-LINE", GMT_STRAIGHT_LINE}, {L"CIRCLE", GMT_CIRCLE},
    {L"ELLIPSE", GMT_ELLIPSE},             {L"ARC", GMT_ARC},
    {L"ARCH", GMT_ARCH},                   {L"SECTOR", GMT_SECTOR},
    {L"TRIANGLE", GMT_TRIANGLE},           {L"RECTANGLE", GMT_RECTANGLE},
    {L"POLYGON", GMT_POLYGON},             {L"LINEAR", GMT_LINEAR},
    {L"POWER", GMT_POWER},                 {L"SQRT", GMT_SQRT},
    {L"PARABOLA", GMT_PARABOLA},           {L"CUBIC", GMT_CUBIC},
    {L"EXPONENTIAL", GMT_EXPONENTIAL},     {L"EXPONENTIAL_E", GMT_EXPONENTIAL_E},
    {L"LOGARITHM", GMT_LOGARITHM},         {L"LOGARITHM_E", GMT_LOGARITHM_E},
    {L"SINUSOID", GMT_SINUSOID},           {L"COSINWAVE", GMT_COSINWAVE},
    {L"TANGENT", GMT_TANGENT},             {L"COTANGENT", GMT_COTANGENT},
    {L"ARCSIN", GMT_ARCSIN},               {L"ARCCOS", GMT_ARCCOS},
    {L"ARCTAN", GMT_ARCTAN},               {L"ARCCOT", GMT_ARCCOT},
    {L"LAPLACE", GMT_LAPLACE},             {L"FOURIER", GMT_FOURIER},
    {L"SPHERE", GMT_SPHERE},               {L"SPHERICAL_CROWN", GMT_SPHERICAL_CROWN},
    {L"SPHERICAL_CAP", GMT_SPHERICAL_CAP}, {L"CYLINDER", GMT_CYLINDER},
    {L"CONE", GMT_CONE},                   {L"FRUSTUM_CONE", GMT_FRUSTUM_CONE},
    {L"PRISM", GMT_PRISM},                 {L"PRISMATIC_TABLE", GMT_PRISMATIC_TABLE},
    {L"PYRAMID", GMT_PYRAMID},
};

// Shape code to the fewest named values it needs.
const std::map<int32_t, int32_t> &ParameterCounts()
{
    static const std::map<int32_t, int32_t> counts = {
        {GMT_STRAIGHT_LINE, 4}, {GMT_CIRCLE, 3},    {GMT_ELLIPSE, 4},     {GMT_ARC, 5},       {GMT_ARCH, 5},
        {GMT_SECTOR, 5},        {GMT_TRIANGLE, 6},  {GMT_RECTANGLE, 4},   {GMT_POLYGON, 6},   {GMT_LINEAR, 2},
        {GMT_POWER, 1},         {GMT_SQRT, 0},      {GMT_PARABOLA, 3},    {GMT_CUBIC, 4},     {GMT_EXPONENTIAL, 1},
        {GMT_EXPONENTIAL_E, 0}, {GMT_LOGARITHM, 1}, {GMT_LOGARITHM_E, 0}, {GMT_SINUSOID, 6},  {GMT_COSINWAVE, 6},
        {GMT_TANGENT, 2},       {GMT_COTANGENT, 2}, {GMT_ARCSIN, 2},      {GMT_ARCCOS, 2},    {GMT_ARCTAN, 2},
        {GMT_ARCCOT, 2},
    };
    return counts;
}

// Reads named values into a record, counting the names found.
class CNamedReader
{
public:
    explicit CNamedReader(const OsgNamedValues &values) : m_values(values) {}

    void Int16(const wchar_t *name, int16_t &value)
    {
        const auto found = m_values.find(name);
        if (found == m_values.end())
            return;
        // Decimal like _wtoi, kept in 16 bits like the C cast.
        value = static_cast<int16_t>(static_cast<int32_t>(std::wcstoll(found->second.c_str(), nullptr, 10)));
        ++m_found;
    }
    void Float(const wchar_t *name, float &value)
    {
        const auto found = m_values.find(name);
        if (found == m_values.end())
            return;
        value = std::wcstof(found->second.c_str(), nullptr);
        ++m_found;
    }
    int32_t Found() const { return m_found; }

private:
    const OsgNamedValues &m_values;
    int32_t m_found = 0;
};

template <typename T>
int32_t Store(const T &params, std::vector<uint8_t> &record)
{
    record.resize(sizeof(T));
    std::memcpy(record.data(), &params, sizeof(T));
    return static_cast<int32_t>(sizeof(T));
}

// Reads the shape's names into T; -4 with no record when fewer than `needed` were found.
template <typename T, typename Read>
int32_t ReadRecord(const OsgNamedValues &values, int32_t needed, std::vector<uint8_t> &record, Read read)
{
    T params;
    CNamedReader reader(values);
    read(reader, params);
    if (reader.Found() < needed) {
        record.clear();
        return -4;
    }
    return Store(params, record);
}

int32_t ParsePolygon(const OsgNamedValues &values, std::vector<uint8_t> &record)
{
    stOsgPolygonParams polygon;
    CNamedReader reader(values);
    reader.Int16(L"VertexNum", polygon.VertexNum);
    // The count comes from outside: bound it before anything is sized by it.
    const int32_t count = polygon.VertexNum;
    if (reader.Found() < 1 || count < OSG_POLYGON_MIN_VERTICES || count > OSG_POLYGON_MAX_VERTICES) {
        record.clear();
        return -8;
    }
    for (int32_t i = 0; i < count; ++i) {
        wchar_t name[24];
        std::swprintf(name, 24, L"Vertex%dX", i + 1);
        reader.Int16(name, polygon.X[i]);
        std::swprintf(name, 24, L"Vertex%dY", i + 1);
        reader.Int16(name, polygon.Y[i]);
    }
    if (reader.Found() < 1 + 2 * count) {
        record.clear();
        return -8;
    }
    record.resize(static_cast<size_t>(2 + 4 * count));
    std::memcpy(record.data(), &polygon.VertexNum, 2);
    std::memcpy(record.data() + 2, polygon.X, static_cast<size_t>(2 * count));
    std::memcpy(record.data() + 2 + 2 * count, polygon.Y, static_cast<size_t>(2 * count));
    return static_cast<int32_t>(record.size());
}

} // namespace

int32_t ParseOsgKind(const std::wstring &keyword)
{
    if (keyword.size() < 4 || keyword.size() > 16)
        return OSG_KIND_NONE;
    static const stKeyword kinds[] = {
        {L"Geometry", OSG_KIND_GEOMETRY}, {L"PICTURE", OSG_KIND_PICTURE}, {L"ANIMATE", OSG_KIND_ANIMATE}};
    return Lookup(keyword, kinds, std::size(kinds), OSG_KIND_NONE);
}

int32_t ParseOsgTarget(const std::wstring &keyword)
{
    if (keyword.size() < 3 || keyword.size() > 32)
        return OSG_TARGET_NONE;
    static const stKeyword targets[] = {{L"VideoInput", OSG_TARGET_INPUT},   {L"AudioInput", OSG_TARGET_INPUT},
                                        {L"VideoOutput", OSG_TARGET_OUTPUT}, {L"AudioOutput", OSG_TARGET_OUTPUT},
                                        {L"ToDownstream", OSG_TARGET_DOWNSTREAM},
                                        {L"ToRendering", OSG_TARGET_RENDERING}};
    return Lookup(keyword, targets, std::size(targets), OSG_TARGET_NONE);
}

int32_t ParseGmtType(const std::wstring &keyword)
{
    if (keyword.size() < 3 || keyword.size() > 32)
        return GMT_INVALID;
    return Lookup(keyword, kShapes, std::size(kShapes), GMT_INVALID);
}

int32_t ParseOsgColor(const std::wstring &keyword)
{
    static const stKeyword colors[] = {{L"Blue", 1}, {L"Green", 2}, {L"Red", 4}, {L"Yellow", 8}, {L"White", 16}};
    return Lookup(keyword, colors, std::size(colors), 0);
}

int32_t ParseOsgLineStyle(const std::wstring &keyword)
{
    static const stKeyword styles[] = {{L"DashDot", OSG_LINE_DASHDOT}, {L"Dashed", OSG_LINE_DASHED}};
    return Lookup(keyword, styles, std::size(styles), OSG_LINE_SOLID);
}

int32_t OsgShapeParameterCount(int32_t shape)
{
    const auto found = ParameterCounts().find(shape);
    return found == ParameterCounts().end() ? -1 : found->second;
}

void InitOsgAnimateItem(stOsgAnimate &item)
{
    item = stOsgAnimate{};
}

bool GetOsgPolygon(const stOsgGeometry &geometry, stOsgPolygonParams &out)
{
    if (geometry.params.size() < 2)
        return false;
    int16_t count = 0;
    std::memcpy(&count, geometry.params.data(), 2);
    if (count < OSG_POLYGON_MIN_VERTICES || count > OSG_POLYGON_MAX_VERTICES ||
        geometry.params.size() < static_cast<size_t>(2 + 4 * count))
        return false;
    out = stOsgPolygonParams{};
    out.VertexNum = count;
    std::memcpy(out.X, geometry.params.data() + 2, static_cast<size_t>(2 * count));
    std::memcpy(out.Y, geometry.params.data() + 2 + 2 * count, static_cast<size_t>(2 * count));
    return true;
}

int32_t ParseOsgGeometry(int32_t shape, const OsgNamedValues &values, std::vector<uint8_t> &record)
{
    record.clear();
    const int32_t needed = OsgShapeParameterCount(shape);
    if (needed == 0)
        return 0;
    if (values.empty())
        return -1;
    if (needed < 0 || static_cast<int32_t>(values.size()) < needed)
        return -2;
    switch (shape) {
    case GMT_STRAIGHT_LINE:
        return ReadRecord<stOsgLineParams>(values, needed, record, [](CNamedReader &r, stOsgLineParams &p) {
            r.Int16(L"StartX", p.StartX);
            r.Int16(L"StartY", p.StartY);
            r.Int16(L"EndX", p.EndX);
            r.Int16(L"EndY", p.EndY);
        });
    case GMT_CIRCLE:
        return ReadRecord<stOsgCircleParams>(values, needed, record, [](CNamedReader &r, stOsgCircleParams &p) {
            r.Int16(L"CentreX", p.CentreX);
            r.Int16(L"CentreY", p.CentreY);
            r.Int16(L"Radius", p.Radius);
        });
    case GMT_ELLIPSE:
        return ReadRecord<stOsgEllipseParams>(values, needed, record, [](CNamedReader &r, stOsgEllipseParams &p) {
            r.Int16(L"CentreX", p.CentreX);
            r.Int16(L"CentreY", p.CentreY);
            r.Int16(L"MajorSemiaxis", p.MajorSemiaxis);
            r.Int16(L"MinorSemiaxis", p.MinorSemiaxis);
        });
    case GMT_ARC:
    case GMT_ARCH:
    case GMT_SECTOR:
        return ReadRecord<stOsgArcParams>(values, needed, record, [](CNamedReader &r, stOsgArcParams &p) {
            r.Int16(L"CentreX", p.CentreX);
            r.Int16(L"CentreY", p.CentreY);
            r.Int16(L"Radius", p.Radius);
            r.Float(L"RadianStart", p.RadianStart);
            r.Float(L"RadianEnd", p.RadianEnd);
        });
    case GMT_TRIANGLE:
        return ReadRecord<stOsgTriangleParams>(values, needed, record, [](CNamedReader &r, stOsgTriangleParams &p) {
            r.Int16(L"Vertex1X", p.Vertex1X);
            r.Int16(L"Vertex1Y", p.Vertex1Y);
            r.Int16(L"Vertex2X", p.Vertex2X);
            r.Int16(L"Vertex2Y", p.Vertex2Y);
            r.Int16(L"Vertex3X", p.Vertex3X);
            r.Int16(L"Vertex3Y", p.Vertex3Y);
        });
    case GMT_RECTANGLE:
        return ReadRecord<stOsgRectangleParams>(values, needed, record, [](CNamedReader &r, stOsgRectangleParams &p) {
            r.Int16(L"StartX", p.StartX);
            r.Int16(L"StartY", p.StartY);
            r.Int16(L"Width", p.Width);
            r.Int16(L"Height", p.Height);
        });
    case GMT_POLYGON: return ParsePolygon(values, record);
    case GMT_LINEAR:
        return ReadRecord<stOsgLinearParams>(values, needed, record, [](CNamedReader &r, stOsgLinearParams &p) {
            r.Float(L"K", p.K);
            r.Float(L"B", p.B);
        });
    case GMT_POWER:
    case GMT_EXPONENTIAL:
    case GMT_LOGARITHM:
        return ReadRecord<stOsgPowerParams>(values, needed, record,
                                            [](CNamedReader &r, stOsgPowerParams &p) { r.Float(L"A", p.A); });
    case GMT_PARABOLA:
        return ReadRecord<stOsgParabolaParams>(values, needed, record, [](CNamedReader &r, stOsgParabolaParams &p) {
            r.Float(L"A", p.A);
            r.Float(L"B", p.B);
            r.Float(L"C", p.C);
        });
    case GMT_CUBIC:
        return ReadRecord<stOsgCubicParams>(values, needed, record, [](CNamedReader &r, stOsgCubicParams &p) {
            r.Float(L"A", p.A);
            r.Float(L"B", p.B);
            r.Float(L"C", p.C);
            r.Float(L"D", p.D);
        });
    case GMT_SINUSOID:
    case GMT_COSINWAVE:
        return ReadRecord<stOsgWaveParams>(values, needed, record, [](CNamedReader &r, stOsgWaveParams &p) {
            r.Float(L"A", p.A);
            r.Float(L"K", p.K);
            r.Float(L"W", p.W);
            r.Float(L"T", p.T);
            r.Float(L"Q", p.Q);
            r.Float(L"D", p.D);
        });
    default: // tangent, cotangent and the arc functions
        return ReadRecord<stOsgTrigParams>(values, needed, record, [](CNamedReader &r, stOsgTrigParams &p) {
            r.Float(L"A", p.A);
            r.Float(L"K", p.K);
        });
    }
}
