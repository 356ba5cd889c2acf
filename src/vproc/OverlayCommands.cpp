#include "vproc/OverlayCommands.h"

#include "core/TYXWorker.h"
#include "core/TextCompare.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"
#include "vproc/OsgItemConvert.h"
#include "vproc/RVProcWorker.h"

#include <map>
#include <mutex>

namespace {

constexpr uint8_t OSD_CHARSET_GB2312 = 134;
constexpr const wchar_t *OSD_FACE_SONG = L"\u5B8B\u4F53";

struct stOsgEntry
{
    std::wstring reference;
    std::weak_ptr<CTYXWorker> owner;
    std::vector<uint32_t> itemIds;
    int32_t target = OSG_TARGET_NONE;
};

struct stOsgItemRecord
{
    uint32_t id = 0;
    uint16_t osgNumber = 0;
    int32_t target = OSG_TARGET_NONE;
    int32_t kind = OSG_KIND_NONE;
    stOsgGeometry geometry; // the copy of a geometry item
};

// The graphics registry of the program: OSG numbers and their items.
struct stOsgRegistry
{
    std::mutex mutex;
    std::map<uint16_t, stOsgEntry> osgs;
    std::map<uint32_t, stOsgItemRecord> items;

    uint16_t FreeNumber() const
    {
        uint16_t number = 1;
        for (const auto &entry : osgs) {
            if (entry.first != number)
                break;
            ++number;
        }
        return number;
    }
    uint32_t FreeItemId() const
    {
        uint32_t id = 1;
        for (const auto &entry : items) {
            if (entry.first != id)
                break;
            ++id;
        }
        return id;
    }
};

stOsgRegistry &OsgRegistry()
{
    static stOsgRegistry registry;
    return registry;
}

std::shared_ptr<CRVProcWorker> AsVideoWorker(const std::shared_ptr<CTYXWorker> &worker)
{
    return std::dynamic_pointer_cast<CRVProcWorker>(worker);
}

// A capture-device reader draws OSDs; other readers have no pictures.
std::shared_ptr<CTYXWorker> FindCaptureReader(const std::wstring &alias)
{
    std::shared_ptr<CTYXWorker> worker;
    stMediaReadWorkerInstanceInfo record;
    if (CTYXGVMS::FindMReaderByAlias(alias, worker, &record) < 0 || record.MSTYPE != TYX_MS_VCAP)
        return nullptr;
    return worker;
}

std::shared_ptr<CTYXWorker> FindOsdOwner(const std::wstring &alias, int32_t ownerKind)
{
    std::shared_ptr<CTYXWorker> worker;
    if (ownerKind == OSD_OWNER_ENCODER) {
        CTYXGVMS::FindEncoderByAlias(alias, worker);
        return worker;
    }
    if (CTYXGVMS::FindDecoderByAlias(alias, worker) >= 0 && worker)
        return worker;
    return FindCaptureReader(alias);
}

int32_t OsdTarget(const stTYXOSDConfig &config)
{
    return config.DrawTarget != OVERLAY_TARGET_NONE ? config.DrawTarget : TYX_OVERLAY_OUTPUT;
}

bool IsEncoderId(uint32_t workerId)
{
    return CTYXGVMS::GetWorkerKindById(workerId) == TYX_KIND_VIDEO_ENCODER;
}

// The registered OSD a command number names: 0, OSD_NO_SUCH_NUMBER when none is registered under its
// registry number, OSD_NO_OWNER for a number above the highest or one that names the other range
// (an encoder's OSD by its registry number, another worker's above the encoder base).
int32_t NameOsd(uint16_t number, uint16_t &key, stTYXOSDConfig &config)
{
    if (number < 1 || number > OSD_HIGHEST_NUMBER)
        return OSD_NO_OWNER;
    const bool encoder = number > OSD_ENCODER_NUMBER_BASE;
    key = static_cast<uint16_t>(encoder ? number - OSD_ENCODER_NUMBER_BASE : number);
    {
        CReadLockGuard guard(CTYXGVMS::ConfigRegistryLock());
        const OsdConfigRegistry &osds = CTYXGVMS::OSDConfigs();
        const auto found = osds.find(static_cast<int16_t>(key));
        if (found == osds.end())
            return OSD_NO_SUCH_NUMBER;
        config = found->second;
    }
    return IsEncoderId(config.OwnerWorkerId) == encoder ? 0 : OSD_NO_OWNER;
}

// The running owner of a named OSD with its writer of the OSD's slot: 0 or OSD_NO_OWNER.
int32_t FindRunningOwner(stNamedOsd &osd)
{
    const auto record = CTYXGVMS::GetWorkerInstanceById(osd.config.OwnerWorkerId);
    osd.owner = record ? AsVideoWorker(record->Worker) : nullptr;
    if (!osd.owner)
        return OSD_NO_OWNER;
    osd.writer = osd.owner->GetOsdWriter(OsdTarget(osd.config), 0);
    return 0;
}

// Whether a worker kind draws graphics at the target.
bool OsgFitsWorker(int32_t target, const std::shared_ptr<CTYXWorker> &worker, int32_t workerKind)
{
    switch (workerKind) {
    case TYX_KIND_MEDIA_READER: {
        std::wstring alias;
        stMediaReadWorkerInstanceInfo record;
        return worker && CTYXGVMS::GetMReaderById(worker->GetWorkerId(), alias, &record) &&
               record.MSTYPE == TYX_MS_VCAP;
    }
    case 2:
    case TYX_KIND_VIDEO_ENCODER: return true;
    case TYX_KIND_VIDEO_DECODER: return target >= 4 && target <= 32 && (target & (target - 1)) == 0;
    case TYX_KIND_VIDEO_MIDPROC: return target >= 2 && target <= 32 && (target & (target - 1)) == 0;
    default: return false;
    }
}

int32_t AddItemToDrawer(COsgDrawer &drawer, uint32_t id, stOsgItem &item)
{
    if (auto *geometry = std::get_if<stOsgGeometry>(&item.record))
        return drawer.AddGeometry(id, *geometry);
    if (auto *picture = std::get_if<stOsgPicture>(&item.record))
        return drawer.AddPicture(id, std::move(*picture));
    if (auto *animate = std::get_if<stOsgAnimate>(&item.record))
        return drawer.AddAnimate(id, std::move(*animate));
    return -1;
}

bool ItemsMatchKind(const std::vector<stOsgItem> &items, int32_t kind)
{
    for (const stOsgItem &item : items) {
        const bool match = (kind == OSG_KIND_GEOMETRY && std::holds_alternative<stOsgGeometry>(item.record)) ||
                           (kind == OSG_KIND_PICTURE && std::holds_alternative<stOsgPicture>(item.record)) ||
                           (kind == OSG_KIND_ANIMATE && std::holds_alternative<stOsgAnimate>(item.record));
        if (!match)
            return false;
    }
    return true;
}

} // namespace

int32_t FindWorkerByKindAndAlias(const stTYXWorkerReference &reference, std::shared_ptr<CTYXWorker> &worker)
{
    worker.reset();
    int32_t id = -1;
    switch (reference.SectionKind) {
    case TYX_KIND_MEDIA_READER: id = CTYXGVMS::FindMReaderByAlias(reference.Alias, worker); break;
    case TYX_KIND_VIDEO_DECODER: id = CTYXGVMS::FindDecoderByAlias(reference.Alias, worker); break;
    case TYX_KIND_VIDEO_MIDPROC: id = CTYXGVMS::GetVMPByAlias(reference.Alias, worker); break;
    case TYX_KIND_VIDEO_ENCODER: id = CTYXGVMS::FindEncoderByAlias(reference.Alias, worker); break;
    case TYX_KIND_MEDIA_WRITER: id = CTYXGVMS::GetMWriterByAlias(reference.Alias, worker); break;
    default: return 0;
    }
    if (id <= 0 || !worker) {
        worker.reset();
        return 0;
    }
    return id;
}

int32_t AddOsd2Worker(const std::wstring &ownerAlias, const stOsdRequest &request)
{
    if (request.OwnerKind != OSD_OWNER_DECODER && request.OwnerKind != OSD_OWNER_ENCODER)
        return -1;
    const auto owner = AsVideoWorker(FindOsdOwner(ownerAlias, request.OwnerKind));
    if (!owner) {
        TYX_LOG(3, L"OSD owner(%s) not found, OSD not added.", ownerAlias.c_str());
        return -32;
    }
    stTYXOSDConfig config;
    config.OsdType = request.OsdType;
    config.PosBase = request.PosBase;
    config.XShift = request.XShift;
    config.YShift = request.YShift;
    config.TextColor = request.TextColor;
    config.TextHeight = request.FontHeight;
    config.Content = request.Text;
    config.Alias = ownerAlias;
    config.OwnerWorkerId = owner->GetWorkerId();
    config.OwnerStreamId = owner->GetWorkerId();
    config.DrawTarget = static_cast<uint8_t>(TYX_OVERLAY_OUTPUT);

    stOsdFont font;
    font.height = request.FontHeight;
    font.charSet = OSD_CHARSET_GB2312;
    font.faceName = OSD_FACE_SONG;

    CReadWriteLock &lock = CTYXGVMS::ConfigRegistryLock();
    lock.LockWrite();
    OsdConfigRegistry &osds = CTYXGVMS::OSDConfigs();
    const int32_t number = osds.empty() ? 1 : osds.rbegin()->first + 1;
    const bool encoder = request.OwnerKind == OSD_OWNER_ENCODER;
    // A number the commands could not name is not handed out.
    if (number > (encoder ? OSD_HIGHEST_NUMBER - OSD_ENCODER_NUMBER_BASE : OSD_ENCODER_NUMBER_BASE)) {
        lock.UnlockWrite();
        return -1;
    }
    auto writer = owner->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0);
    if (!writer)
        writer = std::make_shared<COsdWriter>();
    // A text the writer refuses is not registered: the command would report an OSD nobody draws.
    if (writer->AddOsd(static_cast<uint16_t>(number), request.OsdType, font, request.TextColor, request.PosBase,
                       request.XShift, request.YShift, false) < 0) {
        lock.UnlockWrite();
        return -1;
    }
    osds[static_cast<int16_t>(number)] = config;
    lock.UnlockWrite();
    if (request.OsdType == OSD_CONTENT_STATIC_TEXT)
        writer->SetOsdText(static_cast<uint16_t>(number), request.Text);
    owner->SetOsdWriter(writer, TYX_OVERLAY_OUTPUT, 0);
    const int32_t name = encoder ? number + OSD_ENCODER_NUMBER_BASE : number;
    TYX_LOG(6, L"OSD(%d) added to Worker(%s).", name, ownerAlias.c_str());
    return name;
}

int32_t FindOsdByNumber(uint16_t number, stNamedOsd &osd)
{
    const int32_t named = NameOsd(number, osd.key, osd.config);
    return named != 0 ? named : FindRunningOwner(osd);
}

int32_t SetOsdVisibleByNumber(uint16_t number, bool visible)
{
    stNamedOsd osd;
    if (const int32_t found = FindOsdByNumber(number, osd); found != 0)
        return found;
    if (!osd.writer || !osd.writer->SetOsdVisible(osd.key, visible))
        return OSD_NO_SUCH_NUMBER;
    return 0;
}

int32_t SetOsdTextOfNumber(uint16_t number, const std::wstring &text)
{
    stNamedOsd osd;
    if (const int32_t found = FindOsdByNumber(number, osd); found != 0)
        return found;
    if (!osd.writer)
        return OSD_NO_SUCH_NUMBER;
    const int32_t rendered = osd.writer->SetOsdText(osd.key, text);
    return rendered < 0 ? rendered : 0;
}

int32_t RemoveOsdFromWorker(uint16_t number)
{
    stNamedOsd osd;
    if (const int32_t named = NameOsd(number, osd.key, osd.config); named != 0)
        return named;
    {
        CWriteLockGuard guard(CTYXGVMS::ConfigRegistryLock());
        CTYXGVMS::OSDConfigs().erase(static_cast<int16_t>(osd.key));
    }
    // The registration goes even when its owner is gone: nothing could draw it again.
    if (const int32_t found = FindRunningOwner(osd); found != 0)
        return found;
    // An OSD its owner does not draw was not there to remove: the command fails as the others do.
    if (!osd.writer || osd.writer->RemoveOsd(osd.key) < 0)
        return OSD_NO_SUCH_NUMBER;
    TYX_LOG(6, L"OSD(%d) removed.", number);
    return 0;
}

int32_t AddCfgOsgs2Worker(OsgConfigRegistry configs, const std::wstring &alias,
                          const std::shared_ptr<CTYXWorker> &worker, int32_t workerKind)
{
    int32_t converted = 0;
    for (auto &[number, config] : configs) {
        if (!EqualsNoCase(config.Alias, alias))
            continue;
        stOsgItem item;
        if (ConvertOsgItemConfig(config, item) != 0)
            continue;
        ++converted;
        if (!OsgFitsWorker(item.target, worker, workerKind))
            continue;
        const int32_t kind = item.kind;
        const int32_t target = item.target;
        std::vector<stOsgItem> items;
        items.push_back(std::move(item));
        AddOsgs2Worker(config.DrawOn, target, kind, std::move(items), worker);
    }
    return converted;
}

int32_t AddOsgs2Worker(const std::wstring &reference, int32_t target, int32_t kind, std::vector<stOsgItem> items,
                       const std::shared_ptr<CTYXWorker> &worker)
{
    if (items.empty())
        return -1;
    stTYXWorkerReference parsed;
    const int32_t fields = ResolveWorkerReference(reference, parsed);
    if (fields < 0)
        return fields;
    std::shared_ptr<CTYXWorker> owner = worker;
    if (!owner) {
        const int32_t found = FindWorkerByKindAndAlias(parsed, owner);
        if (found <= 0 || !owner)
            return found <= 0 ? found : -1;
    }
    if (kind != OSG_KIND_GEOMETRY && kind != OSG_KIND_PICTURE && kind != OSG_KIND_ANIMATE)
        return -1;
    if (kind != OSG_KIND_GEOMETRY)
        items.resize(1);
    const auto video = AsVideoWorker(owner);
    if (!video || !ItemsMatchKind(items, kind))
        return -1;

    // Items go into the worker's drawer itself: a copy would leave its pictures and clips behind.
    auto drawer = video->GetOsgDrawer(target, 0);
    if (!drawer) {
        drawer = std::make_shared<COsgDrawer>();
        if (!video->SetOsgDrawer(drawer, target, 0))
            return -1;
    }
    stOsgRegistry &registry = OsgRegistry();
    std::lock_guard lock(registry.mutex);
    const uint16_t number = registry.FreeNumber();
    stOsgEntry entry{reference, owner, {}, target};
    for (stOsgItem &item : items) {
        stOsgItemRecord record;
        record.id = registry.FreeItemId();
        record.osgNumber = number;
        record.target = target;
        record.kind = kind;
        if (const auto *geometry = std::get_if<stOsgGeometry>(&item.record))
            record.geometry = *geometry;
        if (AddItemToDrawer(*drawer, record.id, item) < 0)
            continue;
        entry.itemIds.push_back(record.id);
        registry.items[record.id] = std::move(record);
    }
    registry.osgs[number] = std::move(entry);
    TYX_LOG(6, L"OSG(%d) with %d items added to Worker(%s).", number,
            static_cast<int>(registry.osgs[number].itemIds.size()), parsed.Alias.c_str());
    return number;
}

int32_t RemoveOsgFromWorker(uint16_t number)
{
    stOsgRegistry &registry = OsgRegistry();
    std::lock_guard lock(registry.mutex);
    if (registry.osgs.empty())
        return -1;
    const auto found = registry.osgs.find(number);
    if (found == registry.osgs.end())
        return -2;
    stOsgEntry &entry = found->second;
    const auto owner = AsVideoWorker(entry.owner.lock());
    const auto drawer = owner ? owner->GetOsgDrawer(entry.target, 0) : nullptr;
    for (uint32_t id : entry.itemIds) {
        if (drawer)
            drawer->Remove(id);
        registry.items.erase(id);
    }
    // The number stays registered; its ids are forgotten, since they may now belong to other OSGs.
    entry.itemIds.clear();
    return static_cast<int32_t>(registry.osgs.size());
}

int32_t GetRegisteredOsgCount()
{
    stOsgRegistry &registry = OsgRegistry();
    std::lock_guard lock(registry.mutex);
    return static_cast<int32_t>(registry.osgs.size());
}

std::vector<uint32_t> GetOsgItemIds(uint16_t number)
{
    stOsgRegistry &registry = OsgRegistry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.osgs.find(number);
    return found == registry.osgs.end() ? std::vector<uint32_t>{} : found->second.itemIds;
}

void ClearOsgRegistry()
{
    stOsgRegistry &registry = OsgRegistry();
    std::lock_guard lock(registry.mutex);
    registry.osgs.clear();
    registry.items.clear();
}
