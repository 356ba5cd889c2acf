#pragma once

// Figures and function curves drawn into an I420 frame in device memory, one kernel launch per call
// (straight lines: at most three for any number of segments). All drawing is aliased and one pixel
// wide; every write is cut at the picture's edges. Each member returns 0, or -1 for a null record.

#include "core/VideoFrameInfo.h"

#include <cstdint>

// One horizontal or vertical segment, as the line kernels read it (20 bytes).
struct stLineInfo
{
    uint16_t startX = 0, startY = 0, endX = 0, endY = 0;
    uint8_t y = 0, u = 128, v = 128;
    uint8_t reserved[9] = {};
};
static_assert(sizeof(stLineInfo) == 20, "stLineInfo keeps its 20 bytes");

// One oblique segment: the row of column x is slope x (x - startX) + startY (20 bytes).
struct stObliqueLine
{
    float slope = 0.0f;
    uint16_t startX = 0, endX = 0, startY = 0;
    uint8_t y = 0, u = 128, v = 128;
    uint8_t reserved[7] = {};
};
static_assert(sizeof(stObliqueLine) == 20, "stObliqueLine keeps its 20 bytes");

// The end points of a segment in frame pixels.
struct stLineSegment
{
    uint16_t startX = 0, startY = 0, endX = 0, endY = 0;
};

// Figures in frame pixels; they may reach past the picture's edges and are cut there.
struct stCircleInfo
{
    int16_t centreX = 0, centreY = 0, radius = 0;
};
struct stEllipseInfo
{
    int16_t centreX = 0, centreY = 0, majorSemiaxis = 0, minorSemiaxis = 0; // major: horizontal
};
// Angles in radians, counter-clockwise from the positive x axis with y upwards; the arc runs
// counter-clockwise from the start to the end angle.
struct stArcInfo
{
    int16_t centreX = 0, centreY = 0, radius = 0;
    float radianStart = 0.0f, radianEnd = 0.0f;
};
struct stRectangleInfo
{
    int16_t startX = 0, startY = 0, width = 0, height = 0;
};
struct stTriangleInfo
{
    int16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0, x3 = 0, y3 = 0;
};
// The triangle as its fill kernel reads it: the vertices, then its largest and smallest row.
struct stTriangleEx
{
    int16_t x[3] = {};
    int16_t y[3] = {};
    int16_t yMax = 0;
    int16_t yMin = 0;
};
struct stPolygonInfo
{
    int32_t vertexNum = 0;
    const uint16_t *pX = nullptr;
    const uint16_t *pY = nullptr;
};

// How a figure is drawn.
struct stOsgDrawStyle
{
    int32_t lineStyle = 0; // solid, dash-dot or dashed; lines are drawn solid
    uint8_t lineWidth = 1; // lines are drawn one pixel wide
    uint8_t dashUnit = 2;
    stColorYuv lineColor;
    uint8_t hollow = 1; // set: outline only
    stColorYuv fillColor;
};

// A function curve: coefficients in the order of its parameter record, the x range in math units
// from the origin, and the origin in frame pixels (x to the right, y upwards).
struct stCurveParams
{
    float coef[6] = {};
    int16_t xLeft = 0;
    int16_t xRight = 0;
    uint16_t originX = 0;
    uint16_t originY = 0;
};

int32_t DrawLinesOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *styles, const stLineSegment *points,
                         int32_t count);
int32_t DrawRectangelOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stRectangleInfo *rect);
int32_t DrawTrianglelOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style,
                             const stTriangleInfo *triangle);
// A closed outline of 4 or more vertices; -1 for fewer or missing arrays.
int32_t DrawPolygonOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stPolygonInfo *polygon);
int32_t DrawCircleOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stCircleInfo *circle);
int32_t DrawEllipseOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stEllipseInfo *ellipse);
int32_t DrawArcOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc);
// The arc closed by its chord.
int32_t DrawChordOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc);
// The arc closed by two radii to its centre.
int32_t DrawSectorOnFrame(const stVideoFrameInfo &frame, const stOsgDrawStyle *style, const stArcInfo *arc);
// Curve codes 50..92; any other code draws nothing.
int32_t DrawFctCurveOnFrame(const stVideoFrameInfo &frame, int32_t curveCode, const stCurveParams *params,
                            const stOsgDrawStyle *style);

// A frame coordinate of a segment end: one outside 0..65535 becomes 65535, beyond any picture, where
// the line kernels skip the segment.
uint16_t ToLineCoordinate(int32_t value);
// The point of an arc at that angle, rounded to pixels.
void ArcPoint(const stArcInfo &arc, float angle, int32_t &x, int32_t &y);
