#include "vproc/GmtDrawer.h"

#include "core/debuglog.h"
#include "platform/TickCount.h"
#include "vproc/DvcBuffer.h"
#include "vproc/OverlayLaunch.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kTwoPi = 6.28318530717959f;

TYX_HD TYX_FORCEINLINE int32_t MinI(int32_t a, int32_t b) { return a < b ? a : b; }
TYX_HD TYX_FORCEINLINE int32_t MaxI(int32_t a, int32_t b) { return a > b ? a : b; }
TYX_HD TYX_FORCEINLINE uint32_t GlobalX(const stKernelIndex &index)
{
    return index.blockIdx.x * index.blockDim.x + index.threadIdx.x;
}

// Luma of the pixels strictly between left and right in row y.
TYX_HD TYX_FORCEINLINE void FillLumaSpan(const stOverlayPlanes &planes, int32_t y, int32_t from, int32_t to,
                                         uint8_t value)
{
    if (y < 0 || y >= planes.height)
        return;
    const int32_t first = MaxI(from, 0);
    const int32_t last = MinI(to, planes.width - 1);
    for (int32_t x = first; x <= last; ++x)
        PutLuma(planes, x, y, value);
}

// Chroma samples under the pixels from..to of row y.
TYX_HD TYX_FORCEINLINE void FillChromaSpan(const stOverlayPlanes &planes, int32_t y, int32_t from, int32_t to,
                                           const stColorYuv &color)
{
    if (y < 0 || y >= planes.height || to < from)
        return;
    const int32_t first = MaxI(from, 0);
    const int32_t last = MinI(to, planes.width - 1);
    for (int32_t x = first - first % 2; x <= last; x += 2)
        PutChromaAt(planes, MaxI(x, first), y, color);
}

// ---- straight lines ----

struct DrawHSSolidLinesTuning
{
    stOverlayPlanes planes;
    const stLineInfo *lines = nullptr;
    uint32_t count = 0;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        if (index.blockIdx.y >= count)
            return;
        const stLineInfo &line = lines[index.blockIdx.y];
        if (line.startX >= planes.width || line.startY >= planes.height || line.endX >= planes.width)
            return;
        const int32_t length = line.endX - line.startX + 1;
        const int32_t t = static_cast<int32_t>(GlobalX(index));
        if (index.blockIdx.z == 0) {
            if (t < length)
                PutLuma(planes, line.startX + t, line.startY, line.y);
            return;
        }
        if (t >= length / 2)
            return;
        const int32_t cx = line.startX / 2 + t;
        const int32_t cy = line.startY / 2;
        if (!IsInsideChroma(planes, cx, cy))
            return;
        uint8_t *plane = index.blockIdx.z == 1 ? planes.pU : planes.pV;
        plane[static_cast<int64_t>(cy) * planes.chromaPitch + cx] = index.blockIdx.z == 1 ? line.u : line.v;
    }
};
// The same kernel, drawing the flat line of a linear curve.
using DrawHSSolidLines = DrawHSSolidLinesTuning;

struct DrawVSSolidLines
{
    stOverlayPlanes planes;
    const stLineInfo *lines = nullptr;
    uint32_t count = 0;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        if (index.blockIdx.y >= count)
            return;
        const stLineInfo &line = lines[index.blockIdx.y];
        const int32_t t = static_cast<int32_t>(GlobalX(index));
        if (t > line.endY - line.startY)
            return;
        const stColorYuv color{line.y, line.u, line.v};
        PutPixel(planes, line.startX, line.startY + t, color);
    }
};

struct DrawObliqueLines
{
    stOverlayPlanes planes;
    const stObliqueLine *lines = nullptr;
    uint32_t count = 0;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        if (index.blockIdx.y >= count)
            return;
        const stObliqueLine &line = lines[index.blockIdx.y];
        if (line.startX >= planes.width || line.endX >= planes.width)
            return;
        const int32_t dx = static_cast<int32_t>(GlobalX(index));
        const int32_t x = line.startX + dx;
        if (x > line.endX || x >= planes.width)
            return;
        const float row = line.slope * static_cast<float>(dx) + static_cast<float>(line.startY);
        if (!IsFiniteValue(row) || row <= -1.0f || row >= static_cast<float>(planes.height))
            return;
        const stColorYuv color{line.y, line.u, line.v};
        PutPixel(planes, x, static_cast<int32_t>(row), color);
    }
};

template <typename T>
bool CopyListToDevice(const std::vector<T> &list, CDvcBuffer &buffer)
{
    if (ReportDvcAlloc(buffer.Allocate(list.size() * sizeof(T))) != GPU_SUCCESS)
        return false;
    return ReportDvcCopyIn(DevMemcpy(buffer.Get(), list.data(), list.size() * sizeof(T),
                                         EGpuCopyKind::HostToDevice)) == GPU_SUCCESS;
}

// Launches one line kernel over a device copy of its list.
// A grid has at most this many rows, so longer lists go in several launches.
constexpr size_t kMaxLinesPerLaunch = 65535;

template <typename Kernel, typename Record>
void DrawLineList(const wchar_t *name, const stOverlayPlanes &planes, const std::vector<Record> &list,
                  uint32_t longest, bool planesInGrid)
{
    if (list.empty())
        return;
    CDvcBuffer device;
    if (!CopyListToDevice(list, device))
        return;
    for (size_t first = 0; first < list.size(); first += kMaxLinesPerLaunch) {
        const auto count = static_cast<uint32_t>(std::min(kMaxLinesPerLaunch, list.size() - first));
        Kernel body;
        body.planes = planes;
        body.lines = reinterpret_cast<const Record *>(device.Get()) + first;
        body.count = count;
        if (planesInGrid) {
            LaunchOverlayKernel(name, {longest / 1024 + 1, count, 3}, {1024, 1, 1}, body);
        } else {
            const uint32_t block = static_cast<uint32_t>(MaxI(1, MinI(static_cast<int32_t>(longest), 1024)));
            LaunchOverlayKernel(name, {DivUp(longest > 0 ? longest : 1, block), count, 1}, {block, 1, 1}, body);
        }
    }
    ReportDvcFree(device.Reset());
}

stLineSegment Segment(int32_t x1, int32_t y1, int32_t x2, int32_t y2)
{
    return {ToLineCoordinate(x1), ToLineCoordinate(y1), ToLineCoordinate(x2), ToLineCoordinate(y2)};
}

// Draws segments that all take one style.
void DrawSegments(const stVideoFrameInfo &frame, const stOsgDrawStyle &style, const std::vector<stLineSegment> &segments)
{
    if (segments.empty())
        return;
    const std::vector<stOsgDrawStyle> styles(segments.size(), style);
    DrawLinesOnFrame(frame, styles.data(), segments.data(), static_cast<int32_t>(segments.size()));
}

// ---- circles, ellipses and arcs ----

// The outline columns of row y of an ellipse with semi-axes a (x) and b (y); false outside it.
TYX_HD TYX_FORCEINLINE bool EllipseRow(int32_t centreX, int32_t centreY, int32_t a, int32_t b, int32_t y,
                                       int32_t &left, int32_t &right)
{
    const int32_t dy = y - centreY;
    if (dy < -b || dy > b)
        return false;
    float h = static_cast<float>(a);
    if (b > 0) {
        const float share = static_cast<float>(dy) / static_cast<float>(b);
        const float inside = 1.0f - share * share;
        h = inside > 0.0f ? static_cast<float>(a) * sqrtf(inside) : 0.0f;
    }
    left = static_cast<int32_t>(RoundHalfAway(static_cast<float>(centreX) - h));
    right = static_cast<int32_t>(RoundHalfAway(static_cast<float>(centreX) + h));
    return true;
}

// One thread per row; grid row 0 draws luma, grid row 1 the chroma of an even row and the odd row
// below it (or of a lone first row), so that no two threads write one chroma sample.
struct stEllipseArgs
{
    stOverlayPlanes planes;
    int32_t centreX = 0, centreY = 0, a = 0, b = 0;
    stColorYuv line;
    uint8_t hollow = 1;
    stColorYuv fill;
};

TYX_HD TYX_FORCEINLINE void DrawEllipseRow(const stEllipseArgs &e, const stKernelIndex &index)
{
    const int32_t t = static_cast<int32_t>(GlobalX(index));
    if (t > 2 * e.b)
        return;
    const int32_t y = t + e.centreY - e.b;
    if (y < 0 || y >= e.planes.height)
        return;
    int32_t left = 0, right = 0;
    if (!EllipseRow(e.centreX, e.centreY, e.a, e.b, y, left, right))
        return;
    if (index.blockIdx.y == 0) {
        if (!e.hollow)
            FillLumaSpan(e.planes, y, left + 1, right - 1, e.fill.y);
        PutLuma(e.planes, left, y, e.line.y);
        PutLuma(e.planes, right, y, e.line.y);
        return;
    }
    if (y % 2 != 0 && t != 0)
        return;
    int32_t left2 = 0, right2 = 0;
    const bool second = y % 2 == 0 && t + 1 <= 2 * e.b && EllipseRow(e.centreX, e.centreY, e.a, e.b, y + 1, left2, right2);
    if (!e.hollow) {
        FillChromaSpan(e.planes, y, left + 1, right - 1, e.fill);
        if (second)
            FillChromaSpan(e.planes, y + 1, left2 + 1, right2 - 1, e.fill);
    }
    PutChromaAt(e.planes, left, y, e.line);
    PutChromaAt(e.planes, right, y, e.line);
    if (second) {
        PutChromaAt(e.planes, left2, y + 1, e.line);
        PutChromaAt(e.planes, right2, y + 1, e.line);
    }
}

struct DrawCircleInDvc
{
    stEllipseArgs args;
    TYX_HD void operator()(const stKernelIndex &index) const { DrawEllipseRow(args, index); }
};

struct DrawEllipseInDvc
{
    stEllipseArgs args;
    TYX_HD void operator()(const stKernelIndex &index) const { DrawEllipseRow(args, index); }
};

// Angle in [0, 2 pi).
TYX_HD TYX_FORCEINLINE float NormalAngle(float angle)
{
    const float turns = floorf(angle / kTwoPi);
    float normal = angle - turns * kTwoPi;
    if (normal < 0.0f)
        normal += kTwoPi;
    if (normal >= kTwoPi)
        normal -= kTwoPi;
    return normal;
}

// True when the angle lies on the arc from start counter-clockwise to end.
TYX_HD TYX_FORCEINLINE bool AngleOnArc(float angle, float start, float end)
{
    if (!IsFiniteValue(start) || !IsFiniteValue(end))
        return false;
    if (end - start >= kTwoPi)
        return true;
    const float s = NormalAngle(start);
    const float e = NormalAngle(end);
    const float a = NormalAngle(angle);
    return s <= e ? (a >= s && a <= e) : (a >= s || a <= e);
}

struct DrawArcInDvc
{
    stOverlayPlanes planes;
    int32_t centreX = 0, centreY = 0, radius = 0;
    float start = 0.0f, end = 0.0f;
    stColorYuv color;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int32_t t = static_cast<int32_t>(GlobalX(index));
        if (radius <= 0 || t > 2 * radius)
            return;
        const int32_t y = t + centreY - radius;
        if (y < 0 || y >= planes.height)
            return;
        float s = static_cast<float>(centreY - y) / static_cast<float>(radius);
        s = s > 1.0f ? 1.0f : (s < -1.0f ? -1.0f : s);
        const float angle = asinf(s);
        const float offset = static_cast<float>(radius) * cosf(angle);
        const int32_t right = static_cast<int32_t>(RoundHalfAway(static_cast<float>(centreX) + offset));
        const int32_t left = 2 * centreX - right;
        if (AngleOnArc(angle, start, end))
            PutPixel(planes, right, y, color);
        if (AngleOnArc(kPi - angle, start, end))
            PutPixel(planes, left, y, color);
    }
};

// ---- filled rectangles and triangles ----

struct FillRectanglelOnFrame
{
    stOverlayPlanes planes;
    int32_t startX = 0, startY = 0, width = 0, height = 0;
    stColorYuv fill;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int32_t t = static_cast<int32_t>(GlobalX(index));
        if (t >= height - 2 || width - 2 <= 1)
            return;
        const int32_t y = startY + 1 + t;
        const int32_t first = startX + 1;
        const int32_t last = startX + width - 2;
        if (y < 0 || y >= planes.height || first < 0 || last >= planes.width)
            return;
        FillLumaSpan(planes, y, first, last, fill.y);
        if (y % 2 == 0 || t == 0) {
            FillChromaSpan(planes, y, first, last, fill);
            if (y % 2 == 0 && t + 1 < height - 2)
                FillChromaSpan(planes, y + 1, first, last, fill);
        }
    }
};

// The span of row y between the triangle's edges; false when the row misses it.
TYX_HD TYX_FORCEINLINE bool TriangleSpan(const stTriangleEx &tri, int32_t y, int32_t &left, int32_t &right)
{
    bool hit = false;
    left = 0x7FFFFFFF;
    right = -0x7FFFFFFF;
    for (int32_t e = 0; e < 3; ++e) {
        const int32_t xa = tri.x[e], ya = tri.y[e];
        const int32_t xb = tri.x[(e + 1) % 3], yb = tri.y[(e + 1) % 3];
        if (y < MinI(ya, yb) || y > MaxI(ya, yb))
            continue;
        hit = true;
        if (ya == yb) {
            left = MinI(left, MinI(xa, xb));
            right = MaxI(right, MaxI(xa, xb));
            continue;
        }
        const float x = static_cast<float>(xa) +
                        static_cast<float>(y - ya) * static_cast<float>(xb - xa) / static_cast<float>(yb - ya);
        const int32_t rounded = static_cast<int32_t>(RoundHalfAway(x));
        left = MinI(left, rounded);
        right = MaxI(right, rounded);
    }
    return hit;
}

struct FillTrianglelOnFrame
{
    stOverlayPlanes planes;
    stTriangleEx triangle;
    stColorYuv fill;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const int32_t t = static_cast<int32_t>(GlobalX(index));
        const int32_t y = triangle.yMin + t;
        if (y > triangle.yMax || y < 0 || y >= planes.height)
            return;
        int32_t left = 0, right = 0;
        if (!TriangleSpan(triangle, y, left, right))
            return;
        FillLumaSpan(planes, y, left, right, fill.y);
        if (y % 2 != 0 && t != 0)
            return;
        FillChromaSpan(planes, y, left, right, fill);
        int32_t left2 = 0, right2 = 0;
        if (y % 2 == 0 && y + 1 <= triangle.yMax && TriangleSpan(triangle, y + 1, left2, right2))
            FillChromaSpan(planes, y + 1, left2, right2, fill);
    }
};

// ---- function curves ----

struct stCurveArgs
{
    stOverlayPlanes planes;
    float c[6] = {};
    int32_t left = 0, right = 0;
    int32_t originX = 0, originY = 0;
    stColorYuv color;
};

enum ECurveRounding { CurveTruncate = 0, CurveRoundValue = 1, CurveRoundRow = 2 };

// The frame row of a function value, before it is taken as an integer.
template <typename Curve>
TYX_HD TYX_FORCEINLINE float CurveRow(const stCurveArgs &a, float y)
{
    if (Curve::kRounding == CurveRoundValue)
        y = RoundHalfAway(y);
    float row = static_cast<float>(a.originY) - y;
    if (Curve::kRounding == CurveRoundRow)
        row = RoundHalfAway(row);
    return row;
}

// Rows of the frame from a row to the next column's row, that one excluded unless it is the same: a
// steep branch is drawn as one unbroken line, cut at the frame's edges.
TYX_HD TYX_FORCEINLINE void PlotCurveSpan(const stCurveArgs &a, int32_t fx, float row, float nextRow)
{
    const float last = static_cast<float>(a.planes.height);
    const auto from = static_cast<int32_t>(row < -1.0f ? -1.0f : (row > last ? last : row));
    const auto to = static_cast<int32_t>(nextRow < -1.0f ? -1.0f : (nextRow > last ? last : nextRow));
    if (from == to) {
        if (from >= 0 && from < a.planes.height)
            PutPixel(a.planes, fx, from, a.color);
        return;
    }
    const int32_t step = to > from ? 1 : -1;
    for (int32_t r = from; r != to; r += step) {
        if (r >= 0 && r < a.planes.height)
            PutPixel(a.planes, fx, r, a.color);
    }
}

// Column i of the curve's range: one point at the function's value, when it falls in the frame.
// Curves with poles (kBranches) join each column to the next one of the same branch instead, so
// that they do not break up into scattered points near a pole, and never join across one.
template <typename Curve>
TYX_HD TYX_FORCEINLINE void PlotCurveColumn(const Curve &curve, const stKernelIndex &index)
{
    const stCurveArgs &a = curve.args;
    const int32_t i = static_cast<int32_t>(static_cast<uint16_t>(GlobalX(index)));
    const int32_t x = i + a.left;
    if (x > a.right)
        return;
    const int32_t fx = x + a.originX;
    if (fx < 0 || fx >= a.planes.width)
        return;
    const float y = curve.Value(static_cast<float>(x));
    if (!IsFiniteValue(y))
        return;
    const float row = CurveRow<Curve>(a, y);
    if constexpr (Curve::kBranches) {
        const float next = curve.Value(static_cast<float>(x + 1));
        if (x < a.right && IsFiniteValue(next) && curve.SameBranch(static_cast<float>(x), static_cast<float>(x + 1))) {
            PlotCurveSpan(a, fx, row, CurveRow<Curve>(a, next));
            return;
        }
    }
    if (row <= -1.0f || row >= static_cast<float>(a.planes.height))
        return;
    PutPixel(a.planes, fx, static_cast<int32_t>(row), a.color);
}

#define TYX_CURVE_KERNEL(Name, Rounding, Expression)                                                                  \
    struct Name                                                                                                       \
    {                                                                                                                 \
        static constexpr int kRounding = Rounding;                                                                    \
        static constexpr bool kBranches = false;                                                                      \
        stCurveArgs args;                                                                                             \
        TYX_HD float Value(float x) const                                                                             \
        {                                                                                                             \
            return Expression;                                                                                        \
        }                                                                                                             \
        TYX_HD void operator()(const stKernelIndex &index) const { PlotCurveColumn(*this, index); }                   \
    };

TYX_CURVE_KERNEL(DrawLinearInDvc, CurveTruncate, args.c[0] * x + args.c[1])
TYX_CURVE_KERNEL(DrawPowerInDvc, CurveTruncate, powf(x, args.c[0]))
TYX_CURVE_KERNEL(DrawSqrtInDvc, CurveRoundRow, x >= 0.0f ? sqrtf(x) : NAN)
TYX_CURVE_KERNEL(DrawParabolaInDvc, CurveRoundValue, args.c[0] * x * x + args.c[1] * x + args.c[2])
TYX_CURVE_KERNEL(DrawCubicInDvc, CurveRoundValue, args.c[0] * x * x * x + args.c[1] * x * x + args.c[2] * x + args.c[3])
TYX_CURVE_KERNEL(DrawExponentialInDvc, CurveTruncate, powf(args.c[0], x))
TYX_CURVE_KERNEL(DrawEExpInDvc, CurveTruncate, expf(x))
TYX_CURVE_KERNEL(DrawLogarithmInDvc, CurveTruncate, logf(x) / logf(args.c[0]))
TYX_CURVE_KERNEL(DrawLogEInDvc, CurveTruncate, logf(x))
TYX_CURVE_KERNEL(DrawSinusoidInDvc, CurveRoundValue, args.c[0] * sinf(args.c[1] * x - args.c[2] * args.c[3] - args.c[4]) + args.c[5])
TYX_CURVE_KERNEL(DrawCosinwaveInDvc, CurveRoundValue, args.c[0] * cosf(args.c[1] * x - args.c[2] * args.c[3] - args.c[4]) + args.c[5])
TYX_CURVE_KERNEL(DrawArcSinInDvc, CurveTruncate, args.c[0] * asinf(args.c[1] * x))
TYX_CURVE_KERNEL(DrawArcCosInDvc, CurveTruncate, args.c[0] * acosf(args.c[1] * x))
TYX_CURVE_KERNEL(DrawArcTanInDvc, CurveTruncate, args.c[0] * atanf(args.c[1] * x))
TYX_CURVE_KERNEL(DrawArcCotInDvc, CurveTruncate, args.c[0] * (kPi / 2.0f - atanf(args.c[1] * x)))

#undef TYX_CURVE_KERNEL

// y = A tan(K x) and y = A / tan(K x): branches between poles at K x = pi / 2 + n pi (tangent) and
// n pi (cotangent); two columns lie on one branch when no pole lies between them.
template <bool Cotangent>
struct TrigBranchCurve
{
    static constexpr int kRounding = CurveTruncate;
    static constexpr bool kBranches = true;
    stCurveArgs args;
    TYX_HD float Value(float x) const
    {
        return Cotangent ? args.c[0] / tanf(args.c[1] * x) : args.c[0] * tanf(args.c[1] * x);
    }
    TYX_HD bool SameBranch(float x0, float x1) const
    {
        const float shift = Cotangent ? 0.0f : 0.5f;
        return floorf(args.c[1] * x0 / kPi + shift) == floorf(args.c[1] * x1 / kPi + shift);
    }
    TYX_HD void operator()(const stKernelIndex &index) const { PlotCurveColumn(*this, index); }
};
using DrawTangentInDvc = TrigBranchCurve<false>;
using DrawCotangentInDvc = TrigBranchCurve<true>;

template <typename Curve>
void LaunchCurve(const stCurveArgs &args)
{
    Curve body;
    body.args = args;
    const uint32_t width = static_cast<uint32_t>(MaxI(args.right - args.left + 1, 0));
    LaunchOverlayKernel(L"DrawFctCurveOnFrame", {width / 256 + 1, 1, 1}, {256, 1, 1}, body);
}

// A flat linear curve: one horizontal segment over the in-frame part of the range.
void DrawFlatLine(const stCurveArgs &args)
{
    const float rowValue = static_cast<float>(args.originY) - args.c[1];
    if (!IsFiniteValue(rowValue) || rowValue <= -1.0f || rowValue >= static_cast<float>(args.planes.height))
        return;
    const int32_t first = MaxI(args.originX + args.left, 0);
    const int32_t last = MinI(args.originX + args.right, args.planes.width - 1);
    if (first > last)
        return;
    std::vector<stLineInfo> line(1);
    line[0].startX = static_cast<uint16_t>(first);
    line[0].endX = static_cast<uint16_t>(last);
    line[0].startY = line[0].endY = static_cast<uint16_t>(static_cast<int32_t>(rowValue));
    line[0].y = args.color.y;
    line[0].u = args.color.u;
    line[0].v = args.color.v;
    DrawLineList<DrawHSSolidLines>(L"DrawFctCurveOnFrame", args.planes, line, static_cast<uint32_t>(last - first + 1),
                                   true);
}

bool UsableFrame(const stVideoFrameInfo &frame)
{
    return frame.pY && frame.width > 0 && frame.height > 0;
}

} // namespace

uint16_t ToLineCoordinate(int32_t value)
{
    // Outside 16 bits a point lies beyond any picture, where the line kernels skip the segment.
    return static_cast<uint16_t>(value < 0 ? 0xFFFF : std::min(value, 0xFFFF));
}

void ArcPoint(const stArcInfo &arc, float angle, int32_t &x, int32_t &y)
{
    x = static_cast<int32_t>(std::round(arc.centreX + arc.radius * std::cos(angle)));
    y = static_cast<int32_t>(std::round(arc.centreY - arc.radius * std::sin(angle)));
}

int32_t DrawLinesOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *styles, const stLineSegment *points,
                         int32_t count)
{
    if (!styles || !points || count < 1 || !UsableFrame(frame))
        return -1;
    const auto prepareStart = std::chrono::steady_clock::now();
    std::vector<stLineInfo> horizontal;
    std::vector<stLineInfo> vertical;
    std::vector<stObliqueLine> oblique;
    uint32_t longestH = 0, longestV = 0, longestO = 0;
    for (int32_t i = 0; i < count; ++i) {
        stLineSegment s = points[i];
        if (s.startX > s.endX) {
            std::swap(s.startX, s.endX);
            std::swap(s.startY, s.endY);
        }
        const stColorYuv &color = styles[i].lineColor;
        if (s.startY == s.endY || s.startX == s.endX) {
            stLineInfo line;
            line.startX = s.startX;
            line.endX = s.endX;
            line.startY = std::min(s.startY, s.endY);
            line.endY = std::max(s.startY, s.endY);
            line.y = color.y;
            line.u = color.u;
            line.v = color.v;
            if (s.startY == s.endY) {
                horizontal.push_back(line);
                longestH = std::max<uint32_t>(longestH, line.endX - line.startX + 1u);
            } else {
                vertical.push_back(line);
                longestV = std::max<uint32_t>(longestV, line.endY - line.startY + 1u);
            }
            continue;
        }
        stObliqueLine line;
        line.slope = static_cast<float>(static_cast<double>(s.endY - s.startY + 1) / (s.endX - s.startX + 1));
        line.startX = s.startX;
        line.endX = s.endX;
        line.startY = s.startY;
        line.y = color.y;
        line.u = color.u;
        line.v = color.v;
        oblique.push_back(line);
        longestO = std::max<uint32_t>(longestO, line.endX - line.startX + 1u);
    }
    const std::chrono::duration<double, std::milli> prepared = std::chrono::steady_clock::now() - prepareStart;
    TYX_LOG(8, L"Preparation stage of DrawLinesOnFrame() used %f ms.", prepared.count());
    const stOverlayPlanes planes = MakeOverlayPlanes(frame);
    DrawLineList<DrawHSSolidLinesTuning>(L"DrawHSSolidLinesTuning", planes, horizontal, longestH, true);
    DrawLineList<DrawVSSolidLines>(L"DrawVSSolidLines", planes, vertical, longestV, false);
    DrawLineList<DrawObliqueLines>(L"DrawObliqueLines", planes, oblique, longestO, false);
    return 0;
}

int32_t DrawRectangelOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stRectangleInfo *rect)
{
    if (!style || !rect || !UsableFrame(frame))
        return -1;
    if (rect->width < 1 || rect->height < 1)
        return 0;
    const int32_t x0 = rect->startX, y0 = rect->startY;
    const int32_t x1 = x0 + rect->width - 1, y1 = y0 + rect->height - 1;
    if (!style->hollow && rect->width >= 3 && rect->height >= 3) {
        FillRectanglelOnFrame body;
        body.planes = MakeOverlayPlanes(frame);
        body.startX = x0;
        body.startY = y0;
        body.width = rect->width;
        body.height = rect->height;
        body.fill = style->fillColor;
        LaunchOverlayKernel(L"FillRectanglelOnFrame", {static_cast<uint32_t>(rect->height - 2) / 256 + 1, 1, 1},
                            {256, 1, 1}, body);
    }
    DrawSegments(frame, *style,
                 {Segment(x0, y0, x1, y0), Segment(x0, y1, x1, y1), Segment(x0, y0, x0, y1), Segment(x1, y0, x1, y1)});
    return 0;
}

int32_t DrawTrianglelOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stTriangleInfo *triangle)
{
    if (!style || !triangle || !UsableFrame(frame))
        return -1;
    stTriangleEx ex;
    ex.x[0] = triangle->x1;
    ex.y[0] = triangle->y1;
    ex.x[1] = triangle->x2;
    ex.y[1] = triangle->y2;
    ex.x[2] = triangle->x3;
    ex.y[2] = triangle->y3;
    ex.yMax = std::max({ex.y[0], ex.y[1], ex.y[2]});
    ex.yMin = std::min({ex.y[0], ex.y[1], ex.y[2]});
    if (!style->hollow) {
        FillTrianglelOnFrame body;
        body.planes = MakeOverlayPlanes(frame);
        body.triangle = ex;
        body.fill = style->fillColor;
        const uint32_t rows = static_cast<uint32_t>(ex.yMax - ex.yMin + 1);
        LaunchOverlayKernel(L"FillTrianglelOnFrame", {rows / 256 + 1, 1, 1}, {256, 1, 1}, body);
    }
    DrawSegments(frame, *style,
                 {Segment(ex.x[0], ex.y[0], ex.x[1], ex.y[1]), Segment(ex.x[1], ex.y[1], ex.x[2], ex.y[2]),
                  Segment(ex.x[2], ex.y[2], ex.x[0], ex.y[0])});
    return 0;
}

int32_t DrawPolygonOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stPolygonInfo *polygon)
{
    if (!style || !polygon || !polygon->pX || !polygon->pY || polygon->vertexNum < 4 || !UsableFrame(frame))
        return -1;
    std::vector<stLineSegment> edges;
    const int32_t n = polygon->vertexNum;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t j = (i + 1) % n;
        edges.push_back(Segment(polygon->pX[i], polygon->pY[i], polygon->pX[j], polygon->pY[j]));
    }
    DrawSegments(frame, *style, edges);
    return 0;
}

namespace {

stEllipseArgs EllipseArgs(const stVideoFrameInfo &frame, const stOsgDrawStyle &style, int32_t cx, int32_t cy,
                          int32_t a, int32_t b)
{
    stEllipseArgs args;
    args.planes = MakeOverlayPlanes(frame);
    args.centreX = cx;
    args.centreY = cy;
    args.a = MaxI(a, 0);
    args.b = MaxI(b, 0);
    args.line = style.lineColor;
    args.hollow = style.hollow;
    args.fill = style.fillColor;
    return args;
}

} // namespace

int32_t DrawCircleOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stCircleInfo *circle)
{
    if (!style || !circle || !UsableFrame(frame))
        return -1;
    DrawCircleInDvc body;
    body.args = EllipseArgs(frame, *style, circle->centreX, circle->centreY, circle->radius, circle->radius);
    LaunchOverlayKernel(L"DrawCircleInDvc", {static_cast<uint32_t>(2 * body.args.b) / 256 + 1, 2, 1}, {256, 1, 1}, body);
    return 0;
}

int32_t DrawEllipseOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stEllipseInfo *ellipse)
{
    if (!style || !ellipse || !UsableFrame(frame))
        return -1;
    DrawEllipseInDvc body;
    body.args = EllipseArgs(frame, *style, ellipse->centreX, ellipse->centreY, ellipse->majorSemiaxis,
                            ellipse->minorSemiaxis);
    const uint32_t rows = static_cast<uint32_t>(2 * MaxI(body.args.a, body.args.b));
    LaunchOverlayKernel(L"DrawEllipseInDvc", {rows / 256 + 1, 2, 1}, {256, 1, 1}, body);
    return 0;
}

int32_t DrawArcOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc)
{
    if (!style || !arc || !UsableFrame(frame))
        return -1;
    DrawArcInDvc body;
    body.planes = MakeOverlayPlanes(frame);
    body.centreX = arc->centreX;
    body.centreY = arc->centreY;
    body.radius = MaxI(arc->radius, 0);
    body.start = arc->radianStart;
    body.end = arc->radianEnd;
    body.color = style->lineColor;
    LaunchOverlayKernel(L"DrawArcInDvc", {static_cast<uint32_t>(2 * body.radius) / 256 + 1, 1, 1}, {256, 1, 1}, body);
    return 0;
}

int32_t DrawChordOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc)
{
    if (DrawArcOnFrame(frame, style, arc) < 0)
        return -1;
    int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    ArcPoint(*arc, arc->radianStart, x1, y1);
    ArcPoint(*arc, arc->radianEnd, x2, y2);
    DrawSegments(frame, *style, {Segment(x1, y1, x2, y2)});
    return 0;
}

int32_t DrawSectorOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc)
{
    if (DrawArcOnFrame(frame, style, arc) < 0)
        return -1;
    int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    ArcPoint(*arc, arc->radianStart, x1, y1);
    ArcPoint(*arc, arc->radianEnd, x2, y2);
    DrawSegments(frame, *style,
                 {Segment(arc->centreX, arc->centreY, x1, y1), Segment(arc->centreX, arc->centreY, x2, y2)});
    return 0;
}

int32_t DrawFctCurveOnFrame(const stVideoFrameInfo &frame, int32_t curveCode, const stCurveParams *params,
                            const stOsgDrawStyle *style)
{
    if (!params || !style || !UsableFrame(frame))
        return -1;
    stCurveArgs args;
    args.planes = MakeOverlayPlanes(frame);
    for (int i = 0; i < 6; ++i)
        args.c[i] = params->coef[i];
    args.left = params->xLeft;
    args.right = params->xRight;
    args.originX = params->originX;
    args.originY = params->originY;
    args.color = style->lineColor;
    switch (curveCode) {
    case 50:
        if (args.c[0] == 0.0f)
            DrawFlatLine(args);
        else
            LaunchCurve<DrawLinearInDvc>(args);
        break;
    case 52: LaunchCurve<DrawPowerInDvc>(args); break;
    case 53:
        args.left = MaxI(args.left, 0);
        LaunchCurve<DrawSqrtInDvc>(args);
        break;
    case 54: LaunchCurve<DrawParabolaInDvc>(args); break;
    case 55: LaunchCurve<DrawCubicInDvc>(args); break;
    case 56: LaunchCurve<DrawExponentialInDvc>(args); break;
    case 57: LaunchCurve<DrawEExpInDvc>(args); break;
    case 58: LaunchCurve<DrawLogarithmInDvc>(args); break;
    case 59: LaunchCurve<DrawLogEInDvc>(args); break;
    case 60: LaunchCurve<DrawSinusoidInDvc>(args); break;
    case 64: LaunchCurve<DrawCosinwaveInDvc>(args); break;
    case 68: LaunchCurve<DrawTangentInDvc>(args); break;
    case 72: LaunchCurve<DrawCotangentInDvc>(args); break;
    case 80: LaunchCurve<DrawArcSinInDvc>(args); break;
    case 84: LaunchCurve<DrawArcCosInDvc>(args); break;
    case 88: LaunchCurve<DrawArcTanInDvc>(args); break;
    case 92: LaunchCurve<DrawArcCotInDvc>(args); break;
    default: break;
    }
    return 0;
}
