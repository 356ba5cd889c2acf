#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
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
                                        TYX_ID_BASE_VIDEO_MIDPROC, 0x05FFFFFFu, L"MidProc"};

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
uint8_t CountSetting(const CConfigItem &item, const wchar_t *key, uint8_t fallback)
{
    int32_t value = 0;
    if (!item.Int(key, value) || value < 1)
        return fallback;
    return static_cast<uint8_t>(std::min(value, 255));
}

class CMidProcItemReader
{
public:
    CMidProcItemReader(CConfigXmlDocument &document, const CConfigItem &item, stVideoMidProcWorkerConfig &record,
                       bool &sectionError)
        : m_document(document), m_item(item), m_record(record), m_sectionError(sectionError)
    {
    }

    // The item's keys by its type; false when it is dropped.
    bool Read()
    {
        const stConfigValue *type = m_item.Find(L"MPType");
        m_record.MPType = type ? ParseMidProcType(type->text.c_str()) : 0;
        const int32_t mpType = m_record.MPType;
        if (mpType == 0) {
            m_item.Refuse(L"MPType", type ? L"is no mid-processor type (VMux, VMtx, VSplt, VUnify)" : L"is missing or empty");
            return false;
        }
        if ((mpType == TYX_MP_MUX || mpType == TYX_MP_MATRIX) && !ReadInputs())
            return false;
        if (mpType == TYX_MP_MUX || mpType == TYX_MP_UNIFY)
            ReadOutputPicture();
        if (mpType == TYX_MP_SPLIT || mpType == TYX_MP_UNIFY) {
            stSingleInputConfig &input = m_record.SingleInput;
            if (!ResolveSourceKey(m_item, L"VideoSource", TYX_KIND_VIDEO_MIDPROC, INPUT_MEDIA_VIDEO, input.VideoSource,
                                  input.SourceName))
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
    // unresolved, which drops a mux and leaves a matrix with the inputs before it. False only when
    // the count is missing.
    bool ReadInputs()
    {
        int32_t count = 0;
        if (!m_item.RequiredInt(L"RVSInCount", 1, INT32_MAX, count))
            return false;
        m_inputCount = count;
        const bool matrix = m_record.MPType == TYX_MP_MATRIX;
        std::map<int16_t, int32_t> &inputs = matrix ? m_record.MatrixInputs : m_record.MuxSettings.MuxInputs;
        std::map<int32_t, std::wstring> &names = matrix ? m_record.MatrixInputNames : m_record.MuxSettings.MuxInputNames;
        const wchar_t *outcome = matrix ? L"later inputs are not read." : L"Skip it!";
        for (int32_t i = 1; i <= count; ++i) {
            const std::wstring key = NumberedKey(L"IRVS", i);
            const stConfigValue *value = i <= MAX_NUMBERED_KEY ? m_item.Find(key) : nullptr;
            if (!value || value->text.empty()) {
                m_item.Ignore(key, L"is missing or empty (RVSInCount is " + std::to_wstring(count) + L")", outcome);
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
            std::wstring reason;
            const int32_t id = ResolveInputStreamId(value->text, TYX_KIND_VIDEO_MIDPROC, INPUT_MEDIA_VIDEO, reason);
            if (id < 1) {
                m_item.Ignore(key, reason, outcome);
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
        const bool widthTaken = m_item.Int16(L"OutputWidth", width, L"1920 x 1080 is used.");
        const bool heightTaken = m_item.Int16(L"OutputHeight", height, L"1920 x 1080 is used.");
        if (!widthTaken || !heightTaken || width < 1 || height < 1) {
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
        m_item.Bool(L"RVTP", m_record.RVTP);
        ReadDirectOutputKeys(m_item, m_record.DirectOutputSettings);
    }

    void ReadRequiredInputs()
    {
        stVMuxConfig &mux = m_record.MuxSettings;
        std::wstring text;
        if (!m_item.Text(L"IRVSSIFRequired", text) || text.empty())
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
        // Its inputs could not all be read, and that line said so.
        if (m_itemError)
            return false;
        ReadRequiredInputs();
        const stConfigValue *layout = m_item.Find(L"MuxLayout");
        if (!layout) {
            m_item.Refuse(L"MuxLayout", L"is missing or empty");
            return false;
        }
        int32_t windows = 0;
        mux.MuxLayout = ParseMuxLayout(layout->text.c_str(), windows);
        if (mux.MuxLayout == 0 || windows <= 0) {
            m_item.Refuse(L"MuxLayout", EqualsNoCase(layout->text, L"StandAlone")
                                            ? L"is no layout it knows (StandAlone is written with that letter case)"
                                            : L"is no layout it knows (StandAlone, PIP-1-On-1, 4Divide-Equ, ...)");
            return false;
        }
        for (int32_t region = 1; region <= windows; ++region) {
            const std::wstring key = NumberedKey(L"RgnVs", region);
            int16_t input = 0;
            const bool taken = m_item.Int16(key, input, L"Skip it!");
            const auto found = taken ? mux.MuxInputs.find(input) : mux.MuxInputs.end();
            if (found == mux.MuxInputs.end()) {
                if (!m_item.Has(key))
                    m_item.Refuse(key, L"is missing (the layout has " + std::to_wstring(windows) + L" regions)");
                else if (taken)
                    m_item.Refuse(key, L"names no input of the mux");
                SetError();
                return false;
            }
            mux.InputRegions.emplace(found->second, static_cast<int16_t>(region));
        }
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
            ReadNestedElement(m_document, m_item, L"ChildWindow", static_cast<int16_t>(c), schema, values);
            if (values.empty())
                continue;
            CConfigItem child(values, nullptr, &schema, m_item.Loader());
            child.SetLabel(NumberedKey(L"ChildWindow", c) + L" of " + m_item.Label());
            stChildWindowConfig window;
            int32_t layer = 0;
            child.Int(L"onLayer", layer);
            window.onLayer = static_cast<uint8_t>(layer);
            window.posBase = ReadKeyword(child, L"posBase", ParsePositionBase, 0, nullptr,
                                         L"is no position it knows (Center, LTCorner, RBCorner, ...)", L"0 is used.");
            if (!RequiredShift(child, L"xShift", window.xShift) || !RequiredShift(child, L"yShift", window.yShift) ||
                !RequiredShift(child, L"Width", window.Width) || !RequiredShift(child, L"Height", window.Height)) {
                m_sectionError = true;
                return;
            }
            m_record.MuxSettings.ChildWindows.push_back(window);
        }
    }

    // A required 16-bit key of a nested element; its absence ends the reading of the element's kind.
    static bool RequiredShift(const CConfigItem &element, const wchar_t *key, int16_t &target)
    {
        const bool present = element.Has(key);
        if (element.Int16(key, target, L"later ones are not read."))
            return true;
        if (!present)
            element.Ignore(key, L"is missing", L"later ones are not read.");
        return false;
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
        if (!m_item.RequiredInt(L"RVOutCount", 1, INT32_MAX, count))
            return false;
        for (int32_t output = 1; output <= count && OutputNumberFits(output); ++output) {
            const std::wstring key = NumberedKey(L"VODftVI", output);
            int32_t input = 0;
            if (!m_item.Int(key, input) || input < 1 || input > m_inputCount) {
                m_item.Ignore(key, m_item.Has(key) ? L"names no input number (1.." + std::to_wstring(m_inputCount) + L")"
                                                   : std::wstring(L"is missing"),
                              L"later outputs are not read.");
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
        if (!m_item.RequiredInt(L"RVOutCount", 1, INT32_MAX, count))
            return false;
        ConfigKeySchema schema;
        GetConfigKeySchema(CFG_SCHEMA_SPLIT_OUTPUT, schema);
        for (int32_t output = 1; output <= count && OutputNumberFits(output); ++output) {
            const std::wstring key = NumberedKey(L"Output", output);
            ConfigValueMap values;
            if (m_item.Has(key))
                ReadNestedElement(m_document, m_item, L"Output", static_cast<int16_t>(output), schema, values);
            if (values.empty()) {
                m_item.Ignore(key, L"is missing or empty (RVOutCount is " + std::to_wstring(count) + L")",
                              L"later outputs are not read.");
                m_sectionError = true;
                break;
            }
            CConfigItem element(values, nullptr, &schema, m_item.Loader());
            element.SetLabel(key + L" of " + m_item.Label());
            stSplitOutputConfig split;
            split.StreamId = static_cast<int32_t>(static_cast<uint32_t>(m_record.WorkerId) + static_cast<uint32_t>(output));
            if (!RequiredShift(element, L"RegionLeft", split.RegionLeft) ||
                !RequiredShift(element, L"RegionTop", split.RegionTop) ||
                !RequiredShift(element, L"RegionWidth", split.RegionWidth) ||
                !RequiredShift(element, L"RegionHeight", split.RegionHeight)) {
                m_sectionError = true;
                break;
            }
            element.Text(L"Alias", split.Alias);
            element.Bool(L"RVTP", split.RVTP);
            ReadDirectOutputKeys(element, split.DirectOutputSettings);
            m_record.SingleInput.Outputs.emplace(static_cast<int16_t>(output), std::move(split));
        }
        return true;
    }

    CConfigXmlDocument &m_document;
    const CConfigItem &m_item;
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
    stConfigSectionRead read;
    ReadConfigSection(document, kVideoMidProcs, flags, __func__, read);
    if (read.items.empty())
        return static_cast<int32_t>(registry.size());

    const int16_t firstLevel = CTYXGVMS::LoadSeqCounter();
    int16_t lastLevel = 0;
    bool sectionError = false;
    CWorkerConfigIndex index(registry);
    for (const stConfigSectionItem &entry : read.items) {
        CConfigItem item = MakeSectionItem(read, entry, __func__);
        stVideoMidProcWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, kVideoMidProcs, read.count, index, record))
            continue;
        CMidProcItemReader reader(document, item, record, sectionError);
        if (!reader.Read())
            continue;
        record.BuildIOItems();
        record.LoadSeq = LevelOf(record, firstLevel);
        const int16_t level = record.LoadSeq;
        if (RegisterWorkerConfig(registry, index, item, std::move(record))) {
            CTYXGVMS::LoadSeqCounter() = std::max(CTYXGVMS::LoadSeqCounter(), level);
            lastLevel = std::max(lastLevel, level);
        }
    }
    CTYXGVMS::VmpLevelCount() = static_cast<int16_t>(lastLevel - firstLevel + 1);
    return sectionError ? -1 : static_cast<int32_t>(registry.size());
}
