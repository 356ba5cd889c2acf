#pragma once

// A worker for the registry tests: it records what the registries hand it.

#include "core/TYXWorker.h"
#include "host/GlobalVars.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

class CRecordingWorker : public CTYXWorker, public CTYXCaseInfoTarget
{
public:
    CRecordingWorker(uint32_t id, int32_t kind, const InputLinkMap *inputs = nullptr, bool perInput = false,
                     bool perOutput = false)
        : CTYXWorker(id, inputs, nullptr, kind, perInput, perOutput)
    {
    }

    uint32_t WorkingFunc() override { return 0; }

    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.emplace_back(streamId, params.width);
        }
        if (onInputParams)
            onInputParams(params);
        return 0;
    }

    void unInitialize() override
    {
        ++uninitialized;
        CTYXWorker::unInitialize();
    }

    void SetCaseTexts(const std::wstring &text1, const std::wstring &text2, const std::wstring &text3) override
    {
        caseTexts = {text1, text2, text3};
    }

    // (stream argument, picture width) of every SetInputParameters call.
    std::vector<std::pair<uint32_t, uint16_t>> Received() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    std::function<void(const stStreamParams &)> onInputParams;
    std::atomic<int> uninitialized{0};
    std::vector<std::wstring> caseTexts;

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint32_t, uint16_t>> m_received;
};

inline stStreamParams ParamsOfWidth(uint16_t width)
{
    stStreamParams params;
    params.width = width;
    return params;
}
