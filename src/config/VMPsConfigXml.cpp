#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigText.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <algorithm>
#include <list>

// A mid-processor names its inputs by references; a reference to another mid-processor can only
// name one that comes earlier in the section, and the consumer is placed one processing level
// (LoadSeq) behind its latest producer.
//
// Two error states: the section's, which only makes the result -1, and the item's, which drops a
// mux whose inputs could not all be read. A faulty item never costs the valid items after it.

namespace {

const stConfigSection kVideoMidProcs = {L"/Config/VideoMidProcessors", L"MProcCount", CFG_SCHEMA_VIDEO_MIDPROC,
                                        TYX_ID_BASE_VIDEO_MIDPROC};

constexpr float MIDPROC_FRAME_RATE_FALLBACK = 30.0f;
constexpr int32_t MAX_NUMBERED_KEY = 0x7FFF; // input and region numbers are 16-bit

// Picture-in-picture layouts, whose small windows are placed by "ChildWindow" elements.
bool IsPipLayout(int32_t layout)
{
    return layout == 2 || layout == 3 || layout == 5;
}

std::wstring NumberedKey(const wchar_t *name, int32_t number)
{
    return std::wstring(name) + L"[" + std::to_wstring(number) + L"]";
}

// A byte setting that must be at least 1; a value past the byte's range is held to 255 instead of
// wrapping to a count of nothing.
uint8_t CountSetting(const ConfigValueMap &item, const wchar_t *key, uint8_t fallback)
{
    int32_t value = 0;
    if (!TakeInt(item, key, value) || value < 1)
        return fallback;
    return static_cast<uint8_t>(std::min(value, 255));
}

class CMidProcItemReader
{
public:
    CMidProcItemReader(CConfigXmlDocument &document, const ConfigValueMap &item, stVideoMidProcWorkerConfig &record,
                       bool &sectionError)
        : m_document(document), m_item(item), m_record(record), m_sectionError(sectionError)
    {
    }

    // The item's keys by its type; false when it is dropped.
    bool Read()
    {
        const stConfigValue *type = FindItemValue(m_item, L"MPType");
        m_record.MPType = type ? ParseMidProcType(type->text.c_str()) : 0;
        const int32_t mpType = m_record.MPType;
        if ((mpType == TYX_MP_MUX || mpType == TYX_MP_MATRIX) && !ReadInputs())
            return false;
        if (mpType == TYX_MP_MUX || mpType == TYX_MP_UNIFY)
            ReadOutputPicture();
        if (mpType == TYX_MP_SPLIT || mpType == TYX_MP_UNIFY) {
            stSingleInputConfig &input = m_record.SingleInput;
            if (!ResolveSourceKey(m_item, L"VideoSource", TYX_KIND_VIDEO_MIDPROC, input.VideoSource, input.SourceName))
                return false;
            if (mpType == TYX_MP_UNIFY) {
                m_record.UnifySource = input.VideoSource;
                m_record.UnifySourceName = input.SourceName;
            }
        }
        switch (mpType) {
        case TYX_MP_MUX: return ReadMux();
        case TYX_MP_MATRIX: return ReadMatrix();
        case TYX_MP_SPLIT: return ReadSplit();
        case TYX_MP_UNIFY: return true;
        default: return false;
        }
    }

private:
    void SetError()
    {
        m_itemError = true;
        m_sectionError = true;
    }

    // "RVSInCount" references "IRVS[i]"; reading stops at the first that is missing, repeated or
    // unresolved. False only when the count is missing.
    bool ReadInputs()
    {
        int32_t count = 0;
        if (!TakeInt(m_item, L"RVSInCount", count) || count < 1)
            return false;
        m_inputCount = count;
        const bool matrix = m_record.MPType == TYX_MP_MATRIX;
        std::map<int16_t, int32_t> &inputs = matrix ? m_record.MatrixInputs : m_record.MuxSettings.MuxInputs;
        std::map<int32_t, std::wstring> &names = matrix ? m_record.MatrixInputNames : m_record.MuxSettings.MuxInputNames;
        for (int32_t i = 1; i <= count; ++i) {
            const stConfigValue *value = i <= MAX_NUMBERED_KEY ? FindItemValue(m_item, NumberedKey(L"IRVS", i).c_str())
                                                               : nullptr;
            if (!value) {
                SetError();
                return true;
            }
            const bool repeated = std::any_of(names.begin(), names.end(),
                                              [&](const auto &entry) { return EqualsNoCase(entry.second, value->text); });
            if (repeated) {
                TYX_LOG(3, L"Configuration:Duplicated video source name Name(%s) found in MidProc(%s), please correct it and restart.",
                        value->text.c_str(), m_record.Name.c_str());
                SetError();
                return true;
            }
            const int32_t id = ResolveWorkerId(value->text, TYX_KIND_VIDEO_MIDPROC);
            if (id < 1) {
                SetError();
                return true;
            }
            inputs.emplace(static_cast<int16_t>(i), id);
            names.emplace(id, value->text);
        }
        return true;
    }

    void ReadOutputPicture()
    {
        int16_t width = 0;
        int16_t height = 0;
        if (!TakeInt16(m_item, L"OutputWidth", width) || !TakeInt16(m_item, L"OutputHeight", height) || width < 1 ||
            height < 1) {
            width = 1920;
            height = 1080;
        }
        if (width < 320 || height < 180) {
            width = 320;
            height = 180;
        }
        m_record.MuxSettings.OutputWidth = static_cast<uint16_t>(width);
        m_record.MuxSettings.OutputHeight = static_cast<uint16_t>(height);
        m_record.OutputWidth = static_cast<uint16_t>(width);
        m_record.OutputHeight = static_cast<uint16_t>(height);
        m_record.OutputFramerate = FrameRateByRule(m_item, MIDPROC_FRAME_RATE_FALLBACK);
        m_record.RVTP = 0;
        TakeBool(m_item, L"RVTP", m_record.RVTP);
        ReadDirectOutputKeys(m_item, m_record.DirectOutputSettings);
    }

    void ReadRequiredInputs()
    {
        stVMuxConfig &mux = m_record.MuxSettings;
        std::wstring text;
        if (!TakeText(m_item, L"IRVSSIFRequired", text) || text.empty())
            return;
        std::list<std::wstring> numbers;
        SplitCommaList(text, numbers);
        for (const std::wstring &number : numbers) {
            const int32_t input = WideToInt32(number, 10);
            if (input <= 0 || input > MAX_NUMBERED_KEY)
                continue;
            const auto found = mux.MuxInputs.find(static_cast<int16_t>(input));
            if (found != mux.MuxInputs.end())
                mux.SifInputs.insert(found->second);
        }
    }

    bool ReadMux()
    {
        stVMuxConfig &mux = m_record.MuxSettings;
        ReadRequiredInputs();
        const stConfigValue *layout = FindItemValue(m_item, L"MuxLayout");
        if (!layout)
            return false;
        int32_t windows = 0;
        mux.MuxLayout = ParseMuxLayout(layout->text.c_str(), windows);
        if (mux.MuxLayout == 0 || windows <= 0)
            return false;
        for (int32_t region = 1; region <= windows; ++region) {
            int16_t input = 0;
            const auto found = TakeInt16(m_item, NumberedKey(L"RgnVs", region).c_str(), input)
                                   ? mux.MuxInputs.find(input)
                                   : mux.MuxInputs.end();
            if (found == mux.MuxInputs.end()) {
                SetError();
                return false;
            }
            mux.InputRegions.emplace(found->second, static_cast<int16_t>(region));
        }
        if (m_itemError)
            return false;
        if (IsPipLayout(mux.MuxLayout))
            ReadChildWindows(windows);
        mux.IPGNum = CountSetting(m_item, L"IPGNum", 1);
        mux.CylinderHeight = CountSetting(m_item, L"CylinderHeight", 6);
        return true;
    }

    void ReadChildWindows(int32_t windows)
    {
        ConfigKeySchema schema;
        GetConfigKeySchema(CFG_SCHEMA_CHILD_WINDOW, schema);
        for (int32_t c = 1; c < windows; ++c) {
            ConfigValueMap values;
            m_document.ReadElement(ChildPath(L"ChildWindow", c), values, &schema);
            if (values.empty())
                continue;
            stChildWindowConfig window;
            int32_t layer = 0;
            TakeInt(values, L"onLayer", layer);
            window.onLayer = static_cast<uint8_t>(layer);
            const stConfigValue *base = FindItemValue(values, L"posBase");
            window.posBase = base ? ParsePositionBase(base->text.c_str()) : 0;
            if (!TakeInt16(values, L"xShift", window.xShift) || !TakeInt16(values, L"yShift", window.yShift) ||
                !TakeInt16(values, L"Width", window.Width) || !TakeInt16(values, L"Height", window.Height)) {
                m_sectionError = true;
                return;
            }
            m_record.MuxSettings.ChildWindows.push_back(window);
        }
    }

    // Outputs are numbered in the low 8 bits of the worker's stream ids.
    bool OutputNumberFits(int32_t output)
    {
        if (output <= TYX_MAX_STREAM_NO)
            return true;
        TYX_LOG(3, L"Configuration:Output No[%d] of MidProc(%s) is above %d, later outputs are not read.", output,
                m_record.Name.c_str(), TYX_MAX_STREAM_NO);
        m_sectionError = true;
        return false;
    }

    bool ReadMatrix()
    {
        int32_t count = 0;
        if (!TakeInt(m_item, L"RVOutCount", count) || count <= 0)
            return false;
        for (int32_t output = 1; output <= count && OutputNumberFits(output); ++output) {
            int32_t input = 0;
            if (!TakeInt(m_item, NumberedKey(L"VODftVI", output).c_str(), input) || input < 1 || input > m_inputCount) {
                m_sectionError = true;
                break;
            }
            m_record.MatrixOutputs.emplace(static_cast<int16_t>(output), static_cast<int16_t>(input));
        }
        return true;
    }

    bool ReadSplit()
    {
        int32_t count = 0;
        if (!TakeInt(m_item, L"RVOutCount", count) || count < 1)
            return false;
        ConfigKeySchema schema;
        GetConfigKeySchema(CFG_SCHEMA_SPLIT_OUTPUT, schema);
        for (int32_t output = 1; output <= count && OutputNumberFits(output); ++output) {
            if (!FindItemValue(m_item, NumberedKey(L"Output", output).c_str())) {
                m_sectionError = true;
                break;
            }
            ConfigValueMap values;
            m_document.ReadElement(ChildPath(L"Output", static_cast<int16_t>(output)), values, &schema);
            stSplitOutputConfig split;
            split.StreamId = static_cast<int32_t>(static_cast<uint32_t>(m_record.WorkerId) + static_cast<uint32_t>(output));
            if (values.empty() || !TakeInt16(values, L"RegionLeft", split.RegionLeft) ||
                !TakeInt16(values, L"RegionTop", split.RegionTop) ||
                !TakeInt16(values, L"RegionWidth", split.RegionWidth) ||
                !TakeInt16(values, L"RegionHeight", split.RegionHeight)) {
                m_sectionError = true;
                break;
            }
            TakeText(values, L"Alias", split.Alias);
            TakeBool(values, L"RVTP", split.RVTP);
            ReadDirectOutputKeys(values, split.DirectOutputSettings);
            m_record.SingleInput.Outputs.emplace(static_cast<int16_t>(output), std::move(split));
        }
        return true;
    }

    ConfigPath ChildPath(const wchar_t *child, int32_t number) const
    {
        return ItemChildPath(kVideoMidProcs, m_record, child, static_cast<int16_t>(number));
    }

    CConfigXmlDocument &m_document;
    const ConfigValueMap &m_item;
    stVideoMidProcWorkerConfig &m_record;
    bool &m_sectionError;
    bool m_itemError = false;
    int32_t m_inputCount = 0;
};

// One level behind the latest mid-processor that feeds the record, and never before the section's.
int16_t LevelOf(const stVideoMidProcWorkerConfig &record, int16_t firstLevel)
{
    int16_t level = firstLevel;
    for (const stTYXWorkerItemInfo &input : record.InputItems) {
        const uint32_t id = static_cast<uint32_t>(input.Id);
        if (CTYXGVMS::GetWorkerKindById(id & ~TYX_STREAM_BITS) != TYX_KIND_VIDEO_MIDPROC)
            continue;
        const stTYXWorkerConfig *producer = CTYXGVMS::GetWorkerConfigById(id);
        if (producer && producer->LoadSeq >= level)
            level = static_cast<int16_t>(producer->LoadSeq + 1);
    }
    return level;
}

} // namespace

int32_t LoadVMPsConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    WorkerConfigRegistry<stVideoMidProcWorkerConfig> &registry = CTYXGVMS::VMPConfigs();
    registry.clear();
    CTYXGVMS::VmpLevelCount() = 0;

    stReadElementFlags flags = CommonSectionFlags();
    flags.AppendIdToKey = 1;
    flags.KeepUntyped = 1;
    std::vector<ConfigValueMap> items;
    const int32_t count = ReadConfigSection(document, kVideoMidProcs, flags, items);
    if (items.empty())
        return static_cast<int32_t>(registry.size());

    const int16_t firstLevel = CTYXGVMS::LoadSeqCounter();
    int16_t lastLevel = 0;
    bool sectionError = false;
    for (const ConfigValueMap &item : items) {
        stVideoMidProcWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, count, kVideoMidProcs.idBase, registry, L"MidProc", record))
            continue;
        CMidProcItemReader reader(document, item, record, sectionError);
        if (!reader.Read())
            continue;
        record.BuildIOItems();
        record.LoadSeq = LevelOf(record, firstLevel);
        CTYXGVMS::LoadSeqCounter() = std::max(CTYXGVMS::LoadSeqCounter(), record.LoadSeq);
        lastLevel = std::max(lastLevel, record.LoadSeq);
        RegisterWorkerConfig(registry, std::move(record));
    }
    CTYXGVMS::VmpLevelCount() = static_cast<int16_t>(lastLevel - firstLevel + 1);
    return sectionError ? -1 : static_cast<int32_t>(registry.size());
}
