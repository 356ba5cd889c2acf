#pragma once

// On-screen graphics (OSGs): the vocabulary of an item (kinds, targets, shapes and curves, colours,
// line styles), the runtime records a graphics drawer holds, and the parsing of a figure's named
// parameters.

#include "core/OsdOsgConfig.h"
#include "vproc/DvcBuffer.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <variant>
#include <vector>

// Kinds ("OSGType").
constexpr int32_t OSG_KIND_NONE = 0;
constexpr int32_t OSG_KIND_GEOMETRY = 1;
constexpr int32_t OSG_KIND_PICTURE = 2;
constexpr int32_t OSG_KIND_ANIMATE = 4;

// Draw targets ("DrawOn").
constexpr int32_t OSG_TARGET_INPUT = 2;
constexpr int32_t OSG_TARGET_OUTPUT = 4;
constexpr int32_t OSG_TARGET_DOWNSTREAM = 8;
constexpr int32_t OSG_TARGET_RENDERING = 16;
constexpr int32_t OSG_TARGET_NONE = 64;

// Shapes and curves ("GmtType"): 1..40 figures, 50..92 function curves, 100.. solids (not drawn).
constexpr int32_t GMT_STRAIGHT_LINE = 1;
constexpr int32_t GMT_CIRCLE = 8;
constexpr int32_t GMT_ELLIPSE = 12;
constexpr int32_t GMT_ARC = 16;
constexpr int32_t GMT_ARCH = 20;
constexpr int32_t GMT_SECTOR = 24;
constexpr int32_t GMT_TRIANGLE = 32;
constexpr int32_t GMT_RECTANGLE = 36;
constexpr int32_t GMT_POLYGON = 40;
constexpr int32_t GMT_LINEAR = 50;
constexpr int32_t GMT_POWER = 52;
constexpr int32_t GMT_SQRT = 53;
constexpr int32_t GMT_PARABOLA = 54;
constexpr int32_t GMT_CUBIC = 55;
constexpr int32_t GMT_EXPONENTIAL = 56;
constexpr int32_t GMT_EXPONENTIAL_E = 57;
constexpr int32_t GMT_LOGARITHM = 58;
constexpr int32_t GMT_LOGARITHM_E = 59;
constexpr int32_t GMT_SINUSOID = 60;
constexpr int32_t GMT_COSINWAVE = 64;
constexpr int32_t GMT_TANGENT = 68;
constexpr int32_t GMT_COTANGENT = 72;
constexpr int32_t GMT_ARCSIN = 80;
constexpr int32_t GMT_ARCCOS = 84;
constexpr int32_t GMT_ARCTAN = 88;
constexpr int32_t GMT_ARCCOT = 92;
constexpr int32_t GMT_LAPLACE = 100;
constexpr int32_t GMT_FOURIER = 102;
constexpr int32_t GMT_SPHERE = 128;
constexpr int32_t GMT_SPHERICAL_CROWN = 132;
constexpr int32_t GMT_SPHERICAL_CAP = 136;
constexpr int32_t GMT_CYLINDER = 152;
constexpr int32_t GMT_CONE = 156;
constexpr int32_t GMT_FRUSTUM_CONE = 160;
constexpr int32_t GMT_PRISM = 176;
constexpr int32_t GMT_PRISMATIC_TABLE = 180;
constexpr int32_t GMT_PYRAMID = 184;
constexpr int32_t GMT_INVALID = 255;

// Line styles.
constexpr int32_t OSG_LINE_SOLID = 0;
constexpr int32_t OSG_LINE_DASHDOT = 1;
constexpr int32_t OSG_LINE_DASHED = 2;

// A polygon has 4 to 16 vertices.
constexpr int32_t OSG_POLYGON_MIN_VERTICES = 4;
constexpr int32_t OSG_POLYGON_MAX_VERTICES = 16;

// Parameter records, one per shape (figure values in pixels or ten-thousandths, curve coefficients).
struct stOsgLineParams
{
    int16_t StartX = -264, StartY = -264, EndX = -264, EndY = -264;
};
struct stOsgCircleParams
{
    int16_t CentreX = -264, CentreY = -264, Radius = 0;
};
struct stOsgEllipseParams
{
    int16_t CentreX = -264, CentreY = -264, MajorSemiaxis = 0, MinorSemiaxis = 0;
};
struct stOsgArcParams
{
    int16_t CentreX = 0, CentreY = 0, Radius = 0;
    float RadianStart = 0.0f, RadianEnd = 0.0f;
};
struct stOsgTriangleParams
{
    int16_t Vertex1X = 0, Vertex1Y = 0, Vertex2X = 0, Vertex2Y = 0, Vertex3X = 0, Vertex3Y = 0;
};
struct stOsgRectangleParams
{
    int16_t StartX = 0, StartY = 0, Width = 0, Height = 0;
};
// The polygon's record is VertexNum (int16) followed by VertexNum X values and VertexNum Y values.
struct stOsgPolygonParams
{
    int16_t VertexNum = 0;
    int16_t X[OSG_POLYGON_MAX_VERTICES] = {};
    int16_t Y[OSG_POLYGON_MAX_VERTICES] = {};
};
struct stOsgLinearParams
{
    float K = 1.0f, B = 0.0f;
};
struct stOsgPowerParams // power, exponential and logarithm
{
    float A = 1.0f;
};
struct stOsgParabolaParams
{
    float A = 0.0f, B = 0.0f, C = 0.0f;
};
struct stOsgCubicParams
{
    float A = 0.0f, B = 0.0f, C = 0.0f, D = 0.0f;
};
struct stOsgWaveParams // sinusoid and cosine wave
{
    float A = 0.0f, K = 0.0f, W = 0.0f, T = 0.0f, Q = 0.0f, D = 0.0f;
};
struct stOsgTrigParams // tangent, cotangent and the arc functions: y = A f(K x)
{
    float A = 1.0f, K = 1.0f;
};

struct stOsgGeometry
{
    uint8_t ratio = 0; // coordinates in ten-thousandths of the frame width (x) and height (y)
    uint8_t lineWidth = 1;
    int32_t lineColor = 8;
    int32_t lineStyle = OSG_LINE_SOLID;
    uint8_t dashUnit = 2;
    uint8_t hollow = 1;
    int32_t fillColor = 16;
    int32_t shape = GMT_INVALID;
    int32_t origin = 0; // position code of the coordinate origin
    uint16_t originX = 0;
    uint16_t originY = 0;
    int16_t xRangeLeft = 0;
    int16_t xRangeRight = 0;
    std::vector<uint8_t> params; // the shape's parameter record, empty when it has none
};

// Reads the parameter record as T; false when the record is shorter.
template <typename T>
bool GetOsgParams(const stOsgGeometry &geometry, T &out)
{
    if (geometry.params.size() < sizeof(T))
        return false;
    std::memcpy(&out, geometry.params.data(), sizeof(T));
    return true;
}
// The polygon's record, false when it is short or its vertex count is outside 4..16.
bool GetOsgPolygon(const stOsgGeometry &geometry, stOsgPolygonParams &out);

// Placement and timing shared by pictures and clips.
struct stOsgPlacement
{
    int32_t origin = 2;   // position code: 1 centre, 2/4/6/8 corners
    int16_t offsetX = 0;
    int16_t offsetY = 0;
    float scale = 1.0f;   // applied at load time when in (0, 1)
    uint16_t startDelay = 0; // seconds from the drawer's first frame; 0 none
    uint16_t duration = 0;   // seconds shown; 0 for ever
    bool shown = false;
    uint64_t firstShownTick = 0;
};

struct stOsgPicture
{
    std::string sourcePath; // UTF-8
    stOsgPlacement placement;
    uint16_t width = 0;
    uint16_t height = 0;
    int32_t pixelFormat = -1;
    int32_t bytesPerPixel = 4;
    CDvcBuffer image; // RGBA in device memory
    int32_t rowLength = 0;
};

// One decoded clip frame in device memory.
struct stAnimateFrame
{
    CDvcBuffer picture;
    uint16_t width = 0;
    uint16_t height = 0;
    int32_t length = 0;     // row length x height
    int32_t durationMs = 0; // display time
};

// Where a clip comes from (OSG_SOURCE_*): 1 a file path, 2 a memory block (host or device), 3 a
// prepared source, a resource of the program.

struct stAnimateSource
{
    std::string path; // UTF-8
    const void *pData = nullptr;
    int64_t length = 0;
    bool inDevice = false;
    void *module = nullptr; // kept for the resource form; the program's own resources need none
    int32_t resourceId = 0;
    std::wstring resourceType;
};

struct stOsgAnimate
{
    int32_t sourceKind = OSG_SOURCE_FILE;
    stAnimateSource source;
    stOsgPlacement placement;
    int32_t firstFrame = 0; // 1-based; 0 no limit
    int32_t lastFrame = 0;
    bool loop = true;
    int32_t pixelFormat = -1;
    int32_t bytesPerPixel = 4;
    uint16_t width = 0;
    uint16_t height = 0;
    float frameRate = 0.0f;
    std::vector<stAnimateFrame> frames;
    int32_t currentFrame = 0;
    bool hasFrameTime = false;
    int64_t frameTime = 0; // µs: when the current frame was first shown
};

// Fills an animation record with its defaults: a file source with no path, no frames.
void InitOsgAnimateItem(stOsgAnimate &item);

struct stOsgItem
{
    int32_t kind = OSG_KIND_NONE;
    int32_t target = OSG_TARGET_NONE;
    bool enabled = true;
    std::variant<std::monostate, stOsgGeometry, stOsgPicture, stOsgAnimate> record;
};

// Keyword readers (case-insensitive).
int32_t ParseOsgKind(const std::wstring &keyword);
int32_t ParseOsgTarget(const std::wstring &keyword);
int32_t ParseGmtType(const std::wstring &keyword);
int32_t ParseOsgColor(const std::wstring &keyword);
int32_t ParseOsgLineStyle(const std::wstring &keyword);
// The fewest named values a shape needs; -1 for a shape without an entry (solids, invalid).
int32_t OsgShapeParameterCount(int32_t shape);

using OsgNamedValues = std::map<std::wstring, std::wstring>;
// Builds the parameter record of a shape from its named values; the record size, 0 without a record
// (curves 53, 57, 59), -1 no values, -2 unknown shape or too few values, -4 too few of the shape's
// names, -8 an incomplete polygon or one outside 4..16 vertices.
int32_t ParseOsgGeometry(int32_t shape, const OsgNamedValues &values, std::vector<uint8_t> &record);

static_assert(sizeof(stOsgLineParams) == 8 && sizeof(stOsgCircleParams) == 6 && sizeof(stOsgEllipseParams) == 8 &&
                  sizeof(stOsgArcParams) == 16 && sizeof(stOsgTriangleParams) == 12 &&
                  sizeof(stOsgRectangleParams) == 8,
              "figure records keep their sizes");
static_assert(sizeof(stOsgLinearParams) == 8 && sizeof(stOsgPowerParams) == 4 && sizeof(stOsgParabolaParams) == 12 &&
                  sizeof(stOsgCubicParams) == 16 && sizeof(stOsgWaveParams) == 24,
              "curve records keep their sizes");
