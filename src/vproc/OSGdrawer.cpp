#include "vproc/OSGdrawer.h"

#include "core/debuglog.h"
#include "platform/TickCount.h"
#include "vproc/DvcBuffer.h"
#include "vproc/GmtDrawer.h"
#include "vproc/GpuCallCheck.h"
#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

int64_t MicrosecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
}

int16_t ToInt16(int64_t value)
{
    return static_cast<int16_t>(std::clamp<int64_t>(value, INT16_MIN, INT16_MAX));
}

// Converts figure values from ten-thousandths of the frame size when the ratio flag is set.
struct CFigureScale
{
    bool ratio = false;
    int32_t width = 0;
    int32_t height = 0;

    int32_t X(int32_t value) const { return ratio ? static_cast<int32_t>(value * 0.01 * 0.01 * width) : value; }
    int32_t Y(int32_t value) const { return ratio ? static_cast<int32_t>(value * 0.01 * 0.01 * height) : value; }
};

stOsgDrawStyle MakeStyle(const stOsgGeometry &geometry)
{
    stOsgDrawStyle style;
    style.lineStyle = geometry.lineStyle;
    style.lineWidth = geometry.lineWidth;
    style.dashUnit = geometry.lineStyle != OSG_LINE_SOLID ? geometry.dashUnit : 0;
    style.lineColor = InitOsgColor(OsgColorCodeToRgb(geometry.lineColor));
    style.hollow = geometry.hollow;
    if (!geometry.hollow)
        style.fillColor = InitOsgColor(OsgColorCodeToRgb(geometry.fillColor));
    return style;
}

// The curve's origin in frame pixels.
void CurveOrigin(const stOsgGeometry &geometry, const CFigureScale &scale, int32_t &x, int32_t &y)
{
    switch (geometry.origin) {
    case OSD_POS_CENTER:
        x = scale.width / 2 - 1;
        y = scale.height / 2 - 1;
        break;
    case OSD_POS_LEFT_TOP:
        x = 0;
        y = 0;
        break;
    case OSD_POS_LEFT_BOTTOM:
        x = 0;
        y = scale.height - 1;
        break;
    default:
        x = scale.X(geometry.originX);
        y = scale.Y(geometry.originY);
        break;
    }
}

bool IsCurve(int32_t shape)
{
    return shape >= GMT_LINEAR && shape <= GMT_ARCCOT;
}

bool CurveNeedsRecord(int32_t shape)
{
    return shape != GMT_SQRT && shape != GMT_EXPONENTIAL_E && shape != GMT_LOGARITHM_E;
}

} // namespace

COsgDrawer::COsgDrawer(std::function<uint64_t()> tickSource)
    : m_tickSource(tickSource ? std::move(tickSource) : std::function<uint64_t()>(&GetTickCount64Ms))
{
}

int32_t COsgDrawer::AddGeometry(uint32_t id, const stOsgGeometry &geometry)
{
    CCsLock lock(m_lock);
    if (!m_geometries.emplace(id, geometry).second)
        return -1;
    return static_cast<int32_t>(m_geometries.size());
}

int32_t COsgDrawer::AddPicture(uint32_t id, stOsgPicture &&picture)
{
    CCsLock lock(m_lock);
    if (m_pictures.count(id))
        return -1;
    m_pictures.emplace(id, std::move(picture));
    return static_cast<int32_t>(m_pictures.size());
}

int32_t COsgDrawer::AddAnimate(uint32_t id, stOsgAnimate &&animate)
{
    CCsLock lock(m_lock);
    if (m_animates.count(id))
        return -1;
    m_animates.emplace(id, std::move(animate));
    return static_cast<int32_t>(m_animates.size());
}

int32_t COsgDrawer::Remove(uint32_t id)
{
    CCsLock lock(m_lock);
    if (!m_geometries.erase(id) && !m_pictures.erase(id) && !m_animates.erase(id))
        return -1;
    return static_cast<int32_t>(m_geometries.size() + m_pictures.size() + m_animates.size());
}

std::unique_ptr<COsgDrawer> COsgDrawer::Create() const
{
    auto copy = std::make_unique<COsgDrawer>(m_tickSource);
    CCsLock lock(m_lock);
    copy->m_geometries = m_geometries;
    return copy;
}

int32_t COsgDrawer::GetGeometryCount() const
{
    CCsLock lock(m_lock);
    return static_cast<int32_t>(m_geometries.size());
}

int32_t COsgDrawer::GetPictureCount() const
{
    CCsLock lock(m_lock);
    return static_cast<int32_t>(m_pictures.size());
}

int32_t COsgDrawer::GetAnimateCount() const
{
    CCsLock lock(m_lock);
    return static_cast<int32_t>(m_animates.size());
}

int32_t COsgDrawer::GetAnimateFrameIndex(uint32_t id) const
{
    CCsLock lock(m_lock);
    const auto found = m_animates.find(id);
    return found == m_animates.end() ? -1 : found->second.currentFrame;
}

int32_t COsgDrawer::SetFrameSize(int32_t width, int32_t height, int32_t lumaPitch, int32_t chromaPitch)
{
    TYX_LOG(6, L"Setting frame size for OSG Drawer...");
    if (width < 0 || height < 0)
        return -1;
    CCsLock lock(m_lock);
    if (width == m_width && height == m_height && (lumaPitch <= 0 || lumaPitch == m_lumaPitch) &&
        (chromaPitch <= 0 || chromaPitch == m_chromaPitch)) {
        TYX_LOG(6, L"Input frame size are same with current values, skip...");
        return 0;
    }
    m_width = width;
    m_height = height;
    m_lumaPitch = lumaPitch > 0 ? lumaPitch : width;
    m_chromaPitch = chromaPitch > 0 ? chromaPitch : static_cast<int32_t>(I420ChromaPitch(width));
    return 0;
}

void COsgDrawer::CalculateGraphicPos(int32_t origin, const stOsgPlacement &placement, int32_t width, int32_t height,
                                     int32_t frameWidth, int32_t frameHeight, int32_t &X, int32_t &Y)
{
    if (frameWidth == 0 || frameHeight == 0)
        return;
    const int32_t x = std::abs(static_cast<int32_t>(placement.offsetX));
    const int32_t y = std::abs(static_cast<int32_t>(placement.offsetY));
    switch (origin) {
    case OSD_POS_CENTER:
        X = frameWidth / 2 + placement.offsetX - width / 2 - 1;
        Y = frameHeight / 2 + placement.offsetY - height / 2 - 1;
        break;
    case OSD_POS_LEFT_TOP:
        X = x;
        Y = y;
        break;
    case OSD_POS_RIGHT_TOP:
        X = frameWidth - x - width - 1;
        Y = y;
        break;
    case OSD_POS_RIGHT_BOTTOM:
        X = frameWidth - x - width - 1;
        Y = frameHeight - y - height - 1;
        break;
    case OSD_POS_LEFT_BOTTOM:
        X = x;
        Y = frameHeight - y - height - 1;
        break;
    default: break;
    }
}

bool COsgDrawer::IsDue(stOsgPlacement &placement, uint64_t now) const
{
    if (placement.startDelay > 0 && now - m_startTick < static_cast<uint64_t>(placement.startDelay) * 1000)
        return false;
    if (!placement.shown) {
        placement.shown = true;
        placement.firstShownTick = now;
    }
    return !(placement.duration > 0 && now - placement.firstShownTick > static_cast<uint64_t>(placement.duration) * 1000);
}

int32_t COsgDrawer::DrawImage(const stVideoFrameInfo &frame, const stOsgPlacement &placement, const uint8_t *image,
                              int32_t rowLength, int32_t bytesPerPixel, int32_t width, int32_t height)
{
    int32_t X = 0;
    int32_t Y = 0;
    CalculateGraphicPos(placement.origin, placement, width, height, frame.width, frame.height, X, Y);
    stGraphicInfo graphic;
    graphic.image = reinterpret_cast<uintptr_t>(image);
    graphic.rowLength = static_cast<uint32_t>(rowLength);
    graphic.bytesPerPixel = static_cast<int16_t>(bytesPerPixel);
    graphic.width = static_cast<uint16_t>(width);
    graphic.height = static_cast<uint16_t>(height);
    // An image larger than the frame shows its top-left part from the frame's edge.
    graphic.X = static_cast<uint16_t>(std::clamp(X, 0, 0xFFFF));
    graphic.Y = static_cast<uint16_t>(std::clamp(Y, 0, 0xFFFF));
    return DrawGraphicOnFrame(frame, &graphic);
}

int32_t COsgDrawer::DrawGraphics(const stVideoFrameInfo &frame, uint64_t now, int64_t timeUs)
{
    int32_t drawn = 0;
    for (auto &entry : m_pictures) {
        stOsgPicture &picture = entry.second;
        if (!picture.image || !IsDue(picture.placement, now))
            continue;
        if (DrawImage(frame, picture.placement, picture.image.Get(), picture.rowLength, picture.bytesPerPixel,
                      picture.width, picture.height) == 0)
            ++drawn;
    }
    for (auto &entry : m_animates) {
        stOsgAnimate &clip = entry.second;
        const int32_t count = static_cast<int32_t>(clip.frames.size());
        if (count == 0 || (clip.currentFrame == count - 1 && !clip.loop))
            continue;
        if (!IsDue(clip.placement, now))
            continue;
        if (clip.currentFrame < 0 || clip.currentFrame >= count)
            clip.currentFrame = 0;
        if (!clip.hasFrameTime) {
            clip.hasFrameTime = true;
            clip.frameTime = timeUs;
        } else if (timeUs >= clip.frameTime + static_cast<int64_t>(clip.frames[clip.currentFrame].durationMs) * 1000) {
            clip.frameTime = timeUs;
            if (++clip.currentFrame >= count)
                clip.currentFrame = 0;
        }
        const stAnimateFrame &current = clip.frames[clip.currentFrame];
        const int32_t rowLength = current.height > 0 ? current.length / current.height : 0;
        if (DrawImage(frame, clip.placement, current.picture.Get(), rowLength, clip.bytesPerPixel, current.width,
                      current.height) == 0)
            ++drawn;
    }
    return drawn;
}

int32_t COsgDrawer::ProcessFrame(uint8_t *frame, int32_t frameSize, int64_t timeUs, bool inDevice)
{
    if (!frame)
        return -1;
    std::unique_lock<CCriticalSection> lock(m_lock);
    if (m_geometries.empty() && m_pictures.empty() && m_animates.empty())
        return 0;
    const uint64_t now = m_tickSource();
    if (!m_started) {
        m_started = true;
        m_startTick = now;
    }
    const auto started = std::chrono::steady_clock::now();
    if (m_width < 1 || m_height < 1)
        return 0;
    // A frame in host memory is drawn on a device copy.
    stVideoFrameInfo info = OverlayFrameInfo(m_width, m_height, m_lumaPitch, m_chromaPitch, frame, frameSize, true);
    const auto needed = static_cast<size_t>(OverlayFrameBytes(MakeOverlayPlanes(info)));
    if (frameSize < 0 || static_cast<size_t>(frameSize) < needed) {
        TYX_LOG(3, L"Frame of %d bytes is smaller than the OSG frame size(%dx%d), OSG not drawn!", frameSize, m_width,
                m_height);
        return 0;
    }
    CDvcBuffer copy;
    if (!inDevice) {
        if (ReportDvcAlloc(copy.Allocate(needed)) != GPU_SUCCESS ||
            ReportDvcCopyIn(DevMemcpy(copy.Get(), frame, needed, EGpuCopyKind::HostToDevice)) != GPU_SUCCESS)
            return 0;
        info.pY = copy.Get();
    }

    OsgGeometryList geometries(m_geometries.begin(), m_geometries.end());
    int32_t drawn = DrawGraphics(info, now, timeUs);
    lock.unlock();
    const int64_t graphicUs = MicrosecondsSince(started);
    int64_t geometryUs = 0;
    if (!geometries.empty()) {
        const auto geometryStart = std::chrono::steady_clock::now();
        const int32_t figures = DrawGeometries(info, geometries);
        if (figures > 0)
            drawn += figures;
        geometryUs = MicrosecondsSince(geometryStart);
    }
    if (!inDevice)
        ReportDvcCopyOut(DevMemcpy(frame, copy.Get(), needed, EGpuCopyKind::DeviceToHost));
    TYX_LOG(7, L"OSG Gmt drew used %I64d us, and Graphic drew used %I64d us..", geometryUs, graphicUs);
    return drawn;
}

bool COsgDrawer::WarnOnce(uint32_t id, const wchar_t *what)
{
    std::lock_guard<std::mutex> lock(m_warnedMutex);
    if (!m_warned.insert(id).second)
        return false;
    TYX_LOG(3, L"OSG item(%u) %s, it is not drawn.", id, what);
    return true;
}

namespace {

// Draws one figure or curve; 1 drawn, 0 skipped, -255 for a shape that cannot be drawn.
int32_t DrawOneGeometry(const stVideoFrameInfo &frame, const stOsgGeometry &geometry, const CFigureScale &scale,
                        bool &missingRecord, bool &badPolygon)
{
    const stOsgDrawStyle style = MakeStyle(geometry);
    missingRecord = false;
    badPolygon = false;
    switch (geometry.shape) {
    case GMT_CIRCLE: {
        stOsgCircleParams p;
        if (!(missingRecord = !GetOsgParams(geometry, p))) {
            const stCircleInfo circle{ToInt16(scale.X(p.CentreX)), ToInt16(scale.Y(p.CentreY)), ToInt16(scale.X(p.Radius))};
            DrawCircleOnFrame(frame, &style, &circle);
        }
        break;
    }
    case GMT_ELLIPSE: {
        stOsgEllipseParams p;
        if (!(missingRecord = !GetOsgParams(geometry, p))) {
            const stEllipseInfo ellipse{ToInt16(scale.X(p.CentreX)), ToInt16(scale.Y(p.CentreY)),
                                        ToInt16(scale.X(p.MajorSemiaxis)), ToInt16(scale.X(p.MinorSemiaxis))};
            DrawEllipseOnFrame(frame, &style, &ellipse);
        }
        break;
    }
    case GMT_ARC:
    case GMT_ARCH:
    case GMT_SECTOR: {
        stOsgArcParams p;
        if (!(missingRecord = !GetOsgParams(geometry, p))) {
            const stArcInfo arc{ToInt16(scale.X(p.CentreX)), ToInt16(scale.Y(p.CentreY)), ToInt16(scale.X(p.Radius)),
                                p.RadianStart, p.RadianEnd};
            if (geometry.shape == GMT_ARC)
                DrawArcOnFrame(frame, &style, &arc);
            else if (geometry.shape == GMT_ARCH)
                DrawChordOnFrame(frame, &style, &arc);
            else
                DrawSectorOnFrame(frame, &style, &arc);
        }
        break;
    }
    case GMT_TRIANGLE: {
        stOsgTriangleParams p;
        if (!(missingRecord = !GetOsgParams(geometry, p))) {
            const stTriangleInfo triangle{ToInt16(scale.X(p.Vertex1X)), ToInt16(scale.Y(p.Vertex1Y)),
                                          ToInt16(scale.X(p.Vertex2X)), ToInt16(scale.Y(p.Vertex2Y)),
                                          ToInt16(scale.X(p.Vertex3X)), ToInt16(scale.Y(p.Vertex3Y))};
            DrawTrianglelOnFrame(frame, &style, &triangle);
        }
        break;
    }
    case GMT_RECTANGLE: {
        stOsgRectangleParams p;
        if (!(missingRecord = !GetOsgParams(geometry, p))) {
            const stRectangleInfo rect{ToInt16(scale.X(p.StartX)), ToInt16(scale.Y(p.StartY)), ToInt16(scale.X(p.Width)),
                                       ToInt16(scale.Y(p.Height))};
            DrawRectangelOnFrame(frame, &style, &rect);
        }
        break;
    }
    case GMT_POLYGON: {
        stOsgPolygonParams p;
        if ((badPolygon = !GetOsgPolygon(geometry, p)))
            break;
        uint16_t xs[OSG_POLYGON_MAX_VERTICES];
        uint16_t ys[OSG_POLYGON_MAX_VERTICES];
        for (int32_t i = 0; i < p.VertexNum; ++i) {
            xs[i] = ToLineCoordinate(scale.X(p.X[i]));
            ys[i] = ToLineCoordinate(scale.Y(p.Y[i]));
        }
        const stPolygonInfo polygon{p.VertexNum, xs, ys};
        DrawPolygonOnFrame(frame, &style, &polygon);
        break;
    }
    default: {
        if (!IsCurve(geometry.shape))
            return -255;
        stCurveParams curve;
        if (CurveNeedsRecord(geometry.shape)) {
            if ((missingRecord = geometry.params.size() < sizeof(float)))
                break;
            std::memcpy(curve.coef, geometry.params.data(), std::min(geometry.params.size(), sizeof(curve.coef)));
        }
        curve.xLeft = ToInt16(scale.X(geometry.xRangeLeft));
        curve.xRight = ToInt16(scale.X(geometry.xRangeRight));
        int32_t originX = 0, originY = 0;
        CurveOrigin(geometry, scale, originX, originY);
        curve.originX = static_cast<uint16_t>(std::clamp(originX, 0, 0xFFFF));
        curve.originY = static_cast<uint16_t>(std::clamp(originY, 0, 0xFFFF));
        DrawFctCurveOnFrame(frame, geometry.shape, &curve, &style);
        break;
    }
    }
    return missingRecord || badPolygon ? 0 : 1;
}

} // namespace

int32_t COsgDrawer::DrawGeometries(const stVideoFrameInfo &frame, const OsgGeometryList &geometries)
{
    std::vector<const OsgGeometryList::value_type *> order;
    order.reserve(geometries.size());
    for (const auto &entry : geometries)
        order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto *a, const auto *b) { return a->second.shape < b->second.shape; });

    CFigureScale scale;
    scale.width = frame.width;
    scale.height = frame.height;
    int32_t drawn = 0;
    size_t i = 0;
    while (i < order.size()) {
        const int32_t shape = order[i]->second.shape;
        size_t end = i;
        while (end < order.size() && order[end]->second.shape == shape)
            ++end;
        if (shape == GMT_STRAIGHT_LINE) {
            // All straight lines of the frame go to one call.
            std::vector<stLineSegment> segments;
            std::vector<stOsgDrawStyle> styles;
            for (size_t k = i; k < end; ++k) {
                const stOsgGeometry &geometry = order[k]->second;
                stOsgLineParams p;
                if (!GetOsgParams(geometry, p)) {
                    WarnOnce(order[k]->first, L"has no parameters");
                    continue;
                }
                scale.ratio = geometry.ratio != 0;
                segments.push_back({ToLineCoordinate(scale.X(p.StartX)), ToLineCoordinate(scale.Y(p.StartY)),
                                    ToLineCoordinate(scale.X(p.EndX)), ToLineCoordinate(scale.Y(p.EndY))});
                styles.push_back(MakeStyle(geometry));
            }
            if (!segments.empty() &&
                DrawLinesOnFrame(frame, styles.data(), segments.data(), static_cast<int32_t>(segments.size())) == 0)
                drawn += static_cast<int32_t>(segments.size());
        } else {
            for (size_t k = i; k < end; ++k) {
                const uint32_t id = order[k]->first;
                const stOsgGeometry &geometry = order[k]->second;
                scale.ratio = geometry.ratio != 0;
                bool missingRecord = false, badPolygon = false;
                const int32_t result = DrawOneGeometry(frame, geometry, scale, missingRecord, badPolygon);
                if (result == -255) {
                    WarnOnce(id, L"has a shape that cannot be drawn");
                    return -255;
                }
                if (missingRecord)
                    WarnOnce(id, L"has no parameters");
                // A bad polygon is left out alone; the groups after it still draw.
                if (badPolygon)
                    WarnOnce(id, L"is a polygon without 4 to 16 vertices");
                drawn += result;
            }
        }
        i = end;
    }
    return drawn;
}
