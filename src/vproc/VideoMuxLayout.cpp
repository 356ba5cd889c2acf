// The layout geometry of CVideoMuxer: where each window of a layout lies on the canvas.

#include "vproc/VideoMux.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

struct stGridShape
{
    int32_t id;
    int32_t rows;
    int32_t columns;
};

constexpr stGridShape kGrids[] = {
    {4, 2, 2},  {9, 3, 3},  {11, 1, 4}, {12, 2, 3}, {13, 2, 4}, {14, 3, 4}, {15, 2, 6},
    {16, 4, 4}, {17, 2, 8}, {18, 3, 8}, {19, 4, 6}, {20, 2, 12}, {21, 4, 8},
};

constexpr int32_t kAnchorCenter = 1;
constexpr int32_t kAnchorLeftTop = 2;
constexpr int32_t kAnchorRightTop = 4;
constexpr int32_t kAnchorRightBottom = 6;
constexpr int32_t kAnchorLeftBottom = 8;

bool IsPipLayout(int32_t id)
{
    return id == TYX_MUX_LAYOUT_PIP_1_ON_1 || id == TYX_MUX_LAYOUT_PIP_2_ON_1 || id == TYX_MUX_LAYOUT_PIP_4_ON_1;
}

int32_t PipWindowCount(int32_t id)
{
    return id == TYX_MUX_LAYOUT_PIP_1_ON_1 ? 2 : id == TYX_MUX_LAYOUT_PIP_2_ON_1 ? 3 : 5;
}

const stGridShape *FindGrid(int32_t id)
{
    for (const stGridShape &grid : kGrids) {
        if (grid.id == id)
            return &grid;
    }
    return nullptr;
}

// A window in signed arithmetic, so that placements off the canvas can be clipped before they are
// stored in the unsigned region.
struct stWindow
{
    int64_t left = 0;
    int64_t top = 0;
    int64_t width = 0;
    int64_t height = 0;
};

// Cuts left and width down to multiples of 16 and top and height down to multiples of 4 (the
// remainder is subtracted), the alignment of the composition's copies. A window that then hangs
// off the canvas keeps its own size, so that its picture keeps its aspect; the region starts where
// the window comes onto the canvas and the crop says which part of the picture shows there.
stMuxRegion PlaceWindow(uint8_t kind, stWindow w, int64_t canvasWidth, int64_t canvasHeight)
{
    w.left -= w.left % 16;
    w.width -= w.width % 16;
    w.top -= w.top % 4;
    w.height -= w.height % 4;
    stMuxRegion region;
    region.kind = kind;
    const int64_t left = std::max<int64_t>(w.left, 0);
    const int64_t top = std::max<int64_t>(w.top, 0);
    const int64_t right = std::min(w.left + w.width, canvasWidth);
    const int64_t bottom = std::min(w.top + w.height, canvasHeight);
    if (w.width <= 0 || w.height <= 0 || w.width > UINT16_MAX || w.height > UINT16_MAX || right <= left ||
        bottom <= top)
        return region;
    region.left = static_cast<uint16_t>(left);
    region.top = static_cast<uint16_t>(top);
    region.width = static_cast<uint16_t>(w.width);
    region.height = static_cast<uint16_t>(w.height);
    region.cropLeft = static_cast<uint16_t>(left - w.left);
    region.cropTop = static_cast<uint16_t>(top - w.top);
    return region;
}

void BuildGrid(const stGridShape &grid, stMuxLayout &layout)
{
    const int64_t W = layout.canvasWidth;
    const int64_t H = layout.canvasHeight;
    const int64_t D = W / grid.columns;
    const int64_t E = H * D / W;
    const int64_t T = (H - grid.rows * E) / 2;
    for (int32_t i = 0; i < grid.rows; ++i) {
        for (int32_t j = 0; j < grid.columns; ++j)
            layout.regions[i * grid.columns + j] = PlaceWindow(1, {j * D, T + i * E, D, E}, W, H);
    }
}

// One large window at the top left and small ones of 1 / parts of the canvas along the right
// and bottom edges, in the order given as (column, row) in parts.
void BuildOneLarge(int64_t parts, const int64_t (*cells)[2], int32_t smallCount, stMuxLayout &layout)
{
    const int64_t W = layout.canvasWidth;
    const int64_t H = layout.canvasHeight;
    layout.regions[0] = PlaceWindow(1, {0, 0, (parts - 1) * W / parts, (parts - 1) * H / parts}, W, H);
    for (int32_t i = 0; i < smallCount; ++i) {
        const stWindow w{cells[i][0] * W / parts, cells[i][1] * H / parts, W / parts, H / parts};
        layout.regions[i + 1] = PlaceWindow(1, w, W, H);
    }
}

// An offset beyond half the canvas is taken as 0 and stored so.
void CorrectOffsets(stPipWindowInfo &info, int64_t W, int64_t H)
{
    if (std::abs(static_cast<int64_t>(info.x)) > W / 2)
        info.x = 0;
    if (std::abs(static_cast<int64_t>(info.y)) > H / 2)
        info.y = 0;
}

// Places one picture-in-picture window by its anchor; false for an unknown anchor.
bool PlacePip(const stPipWindowInfo &info, int64_t W, int64_t H, stMuxRegion &region)
{
    int64_t x = info.x;
    int64_t y = info.y;
    const int64_t width = info.width;
    const int64_t height = info.height;
    stWindow w{0, 0, width, height};
    switch (info.anchor) {
    case kAnchorCenter:
        w.left = (W - width) / 2 + x;
        w.top = (H - height) / 2 + y;
        break;
    case kAnchorLeftTop:
        x = x < 0 ? 0 : x;
        y = y < 0 ? 0 : y;
        w.left = x;
        w.top = y;
        break;
    case kAnchorRightTop:
        x = x > 0 ? 0 : x;
        y = y < 0 ? 0 : y;
        w.left = x + W - width;
        w.top = y;
        break;
    case kAnchorRightBottom:
        x = x > 0 ? 0 : x;
        y = y > 0 ? 0 : y;
        w.left = x + W - width;
        w.top = y + H - height;
        break;
    case kAnchorLeftBottom:
        x = x < 0 ? 0 : x;
        y = y > 0 ? 0 : y;
        w.left = x;
        w.top = y + H - height;
        break;
    default:
        return false;
    }
    const uint8_t kind = info.kind == 0 ? 1 : info.kind > 16 ? 16 : info.kind;
    region = PlaceWindow(kind, w, W, H);
    return true;
}

// The background and one window per record. A list short of the windows places the records it has
// and leaves the rest black, rather than blanking the whole picture for one missing record; an
// unknown anchor leaves its window and the later ones black.
int32_t BuildPip(int32_t id, stMuxLayout &layout, std::vector<stPipWindowInfo> *pipList)
{
    const int32_t count = PipWindowCount(id);
    if (!pipList)
        return -2;
    layout.windowCount = static_cast<uint8_t>(count);
    layout.regions.assign(static_cast<size_t>(count), stMuxRegion{});
    const int64_t W = layout.canvasWidth;
    const int64_t H = layout.canvasHeight;
    layout.regions[0] = PlaceWindow(0, {0, 0, W, H}, W, H);
    const size_t records = std::min(pipList->size(), static_cast<size_t>(count - 1));
    for (size_t k = 0; k < records; ++k) {
        stPipWindowInfo &info = (*pipList)[k];
        CorrectOffsets(info, W, H);
        if (!PlacePip(info, W, H, layout.regions[k + 1]))
            return -2;
    }
    return records < static_cast<size_t>(count - 1) ? -4 : count;
}

} // namespace

int32_t CVideoMuxer::BuildLayoutRegions(int32_t layoutId, stMuxLayout &layout, std::vector<stPipWindowInfo> *pipList)
{
    layout.windowCount = 0;
    layout.regions.clear();
    if (layout.canvasWidth == 0 || layout.canvasHeight == 0)
        return -1;
    int32_t result = -1;
    static constexpr int64_t kFiveSmall[][2] = {{2, 0}, {2, 1}, {2, 2}, {1, 2}, {0, 2}};
    static constexpr int64_t kSevenSmall[][2] = {{3, 0}, {3, 1}, {3, 2}, {3, 3}, {2, 3}, {1, 3}, {0, 3}};
    if (layoutId == TYX_MUX_LAYOUT_STANDALONE) {
        layout.regions.assign(1, PlaceWindow(0, {0, 0, layout.canvasWidth, layout.canvasHeight}, layout.canvasWidth,
                                             layout.canvasHeight));
        result = 1;
    } else if (IsPipLayout(layoutId)) {
        result = BuildPip(layoutId, layout, pipList);
    } else if (layoutId == 6) {
        layout.regions.assign(6, stMuxRegion{});
        BuildOneLarge(3, kFiveSmall, 5, layout);
        result = 6;
    } else if (layoutId == 8) {
        layout.regions.assign(8, stMuxRegion{});
        BuildOneLarge(4, kSevenSmall, 7, layout);
        result = 8;
    } else if (const stGridShape *grid = FindGrid(layoutId)) {
        layout.regions.assign(static_cast<size_t>(grid->rows * grid->columns), stMuxRegion{});
        BuildGrid(*grid, layout);
        result = grid->rows * grid->columns;
    }
    if (result == -1)
        return result;
    // A picture-in-picture layout is taken even where some of its windows could not be placed.
    if (result > 0)
        layout.windowCount = static_cast<uint8_t>(result);
    m_layoutId = layoutId;
    return result;
}

int32_t CVideoMuxer::SetLayout(int32_t layoutId, uint16_t canvasWidth, uint16_t canvasHeight,
                               const std::wstring &layoutName, std::vector<stPipWindowInfo> *pipList)
{
    (void)layoutName;
    if (layoutId < 1 || layoutId > TYX_MUX_LAYOUT_MAX)
        return -1;
    if (IsPipLayout(layoutId)) {
        if (!pipList)
            return -2;
        if (pipList->empty())
            return -4;
    }
    stMuxLayout layout;
    layout.canvasWidth = canvasWidth;
    layout.canvasHeight = canvasHeight;
    // A picture-in-picture record that cannot be placed leaves its window black; the mux runs.
    BuildLayoutRegions(layoutId, layout, pipList);
    return Initialize(layout);
}

int32_t CVideoMuxer::ChangeLayout(int32_t layoutId, std::vector<stPipWindowInfo> *pipList)
{
    if (layoutId < 1 || layoutId > TYX_MUX_LAYOUT_MAX)
        return -1;
    if (IsPipLayout(layoutId) && (!pipList || pipList->empty()))
        return pipList ? -4 : -2;
    stMuxLayout layout;
    {
        CReadLockGuard canvas(m_canvasLock);
        layout.canvasWidth = m_canvasWidth;
        layout.canvasHeight = m_canvasHeight;
    }
    // An id that names no layout leaves the running composition alone instead of blanking it.
    if (BuildLayoutRegions(layoutId, layout, pipList) == -1)
        return -1;
    return Reinitialize(layout);
}
