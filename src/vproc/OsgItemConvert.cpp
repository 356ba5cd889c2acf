#include "vproc/OsgItemConvert.h"

#include "config/ConfigKeywords.h"
#include "config/ConfigText.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "vproc/AnimateLoader.h"
#include "vproc/EmbeddedResource.h"

namespace {

constexpr uint64_t kMaxMemoryBlock = 268435456;
constexpr size_t kMaxPathBytes = 259;

stOsgPlacement Placement(const stTYXOSGConfig &config)
{
    stOsgPlacement placement;
    placement.origin = ParsePositionBase(config.CordOrgPos.c_str());
    placement.offsetX = config.PosX;
    placement.offsetY = config.PosY;
    placement.scale = config.Resize;
    placement.startDelay = config.StartDelay;
    placement.duration = config.ShowTime;
    return placement;
}

int32_t ConvertGeometry(const stTYXOSGConfig &config, stOsgGeometry &geometry)
{
    geometry.shape = ParseGmtType(config.GmtType);
    if (geometry.shape < 1 || geometry.shape > 254)
        return -1;
    geometry.origin = ParsePositionBase(config.CordOrgPos.c_str());
    geometry.ratio = EqualsNoCase(config.CordOrgPos, L"RATIO") ? 1 : 0;
    geometry.lineWidth = static_cast<uint8_t>(config.weight & 0xFF);
    geometry.hollow = config.Transparent;
    // An absent colour keeps the record's default rather than turning black.
    if (!config.lineColor.empty())
        geometry.lineColor = ParseOsgColor(config.lineColor);
    if (!config.fillingColor.empty())
        geometry.fillColor = ParseOsgColor(config.fillingColor);
    geometry.lineStyle = ParseOsgLineStyle(config.lineType);
    geometry.originX = config.CntrCrdX;
    geometry.originY = config.CntrCrdY;
    geometry.xRangeLeft = config.XRangeL;
    geometry.xRangeRight = config.XRangeR;
    const int32_t size = ParseOsgGeometry(geometry.shape, config.Parameters, geometry.params);
    // A figure or curve that needs parameters and has none could only be skipped at every frame.
    if (size <= 0 && OsgShapeParameterCount(geometry.shape) > 0)
        return -1;
    return 0;
}

std::string Utf8Path(const std::wstring &path)
{
    return WStringToString(path);
}

int32_t ConvertPicture(const stTYXOSGConfig &config, stOsgPicture &picture)
{
    picture.placement = Placement(config);
    picture.sourcePath = Utf8Path(config.SourceFile);
    if (picture.sourcePath.empty() || picture.sourcePath.size() > kMaxPathBytes)
        return -2;
    CAnimateLoader loader;
    return loader.LoadPicture(picture.sourcePath, picture) > 0 ? 0 : -2;
}

int32_t ConvertAnimate(const stTYXOSGConfig &config, stOsgAnimate &clip)
{
    InitOsgAnimateItem(clip);
    clip.placement = Placement(config);
    clip.loop = config.Repeat != 0;
    clip.firstFrame = config.FromFrame;
    clip.lastFrame = config.ToFrame;
    clip.sourceKind = config.SourceKind;
    CAnimateLoader loader;
    int32_t loaded = -1;
    switch (config.SourceKind) {
    case OSG_SOURCE_FILE:
        clip.source.path = Utf8Path(config.SourceFile);
        loaded = loader.LoadAnimate(clip.source.path, clip);
        break;
    case OSG_SOURCE_MEMORY:
        if (!config.SourceAddress || config.SourceSize < 1 || config.SourceSize > kMaxMemoryBlock) {
            TYX_LOG(3, L"Failed to loading media data from specified (NULL) memory!");
            return -2;
        }
        clip.source.pData = config.SourceAddress;
        clip.source.length = static_cast<int64_t>(config.SourceSize);
        loaded = loader.LoadAnimate(OSG_SOURCE_MEMORY, &clip.source, clip);
        break;
    case OSG_SOURCE_PREPARED:
        // The prepared source of this program is its built-in clip.
        clip.source.resourceId = TYX_RES_ANIMATE_ID;
        clip.source.resourceType = TYX_RES_ANIMATE_TYPE;
        loaded = loader.LoadAnimate(OSG_SOURCE_PREPARED, &clip.source, clip);
        break;
    default: break;
    }
    return loaded > 0 ? 0 : -2;
}

} // namespace

int32_t ConvertOsgItemConfig(const stTYXOSGConfig &config, stOsgItem &item)
{
    item.target = ParseOsgTarget(config.Role);
    item.kind = ParseOsgKind(config.OSGType);
    item.enabled = true;
    int32_t result = -1;
    switch (item.kind) {
    case OSG_KIND_GEOMETRY: {
        stOsgGeometry geometry;
        result = ConvertGeometry(config, geometry);
        if (result == 0)
            item.record = std::move(geometry);
        break;
    }
    case OSG_KIND_PICTURE: {
        stOsgPicture picture;
        result = ConvertPicture(config, picture);
        if (result == 0)
            item.record = std::move(picture);
        break;
    }
    case OSG_KIND_ANIMATE: {
        stOsgAnimate clip;
        result = ConvertAnimate(config, clip);
        if (result == 0)
            item.record = std::move(clip);
        break;
    }
    default: break;
    }
    return result;
}
