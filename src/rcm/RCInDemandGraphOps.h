#pragma once

// The in-demand operations of the remote commands on the running graph, the overlays and the host's
// network settings.

#include "rcm/InDemandChanges.h"
#include "rcm/RCInDemandOps.h"

class CRCInDemandGraphOps : public CRCInDemandOps
{
public:
    explicit CRCInDemandGraphOps(stInDemandGraph graph, std::string hostnameFile = "/etc/hostname");

    int32_t AddMediaSource2TYX(const stRcSourceRequest &request) override;
    int32_t RemoveMediaSource(uint32_t id, const std::wstring &alias) override;
    int32_t AddVSToMux(int32_t region, const std::wstring &alias, const std::wstring &muxAlias) override;
    int32_t RemoveVSFromMux(const std::wstring &alias, const std::wstring &replacement) override;
    int32_t ChangeMuxLayoutOnDemand(int32_t layout, const std::wstring &sources, const std::wstring &childWindows) override;
    int32_t ChangeRegionInput(const std::shared_ptr<CTYXWorker> &mux, int32_t region, uint32_t inputId) override;
    int32_t ChangeFocusInput(const std::shared_ptr<CTYXWorker> &mux, uint32_t inputId) override;
    int32_t GetMuxState(const std::shared_ptr<CTYXWorker> &mux, int32_t &layout, uint32_t &focusInputId) override;
    int32_t StartDirectOutput(const std::wstring &alias, int32_t monitor) override;
    int32_t StopDirectOutput(const std::wstring &alias) override;
    std::wstring GetRecordSubPath(const std::shared_ptr<CTYXWorker> &writer) override;

    int32_t SetOsdTextByNumber(uint16_t number, const std::wstring &text) override;
    int32_t AddOsd2Worker(const std::wstring &alias, const stRcOsdRequest &request) override;
    int32_t RemoveOsdFromWorker(uint16_t number) override;
    int32_t RemoveOsgFromWorker(uint16_t number) override;

    int32_t SetComputerNameFromRC(const std::string &name) override;
    int32_t SetAdapterAddress(const stRcAddressRequest &request) override;

private:
    stInDemandGraph m_graph;
    std::string m_hostnameFile;
};
