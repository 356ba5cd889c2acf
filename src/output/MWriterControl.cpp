#include "output/MWriterControl.h"

#include "config/GTYXConfigXml.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/MWrtWorker.h"

#include <chrono>
#include <thread>

namespace {

constexpr auto kStartPause = std::chrono::milliseconds(200);

// The number of the writer's own configuration record (its section), -1 when there is none.
int32_t StoreConfiguredUrl(int32_t writerId, const std::wstring &url)
{
    CWriteLockGuard guard(CTYXGVMS::ConfigRegistryLock());
    for (auto &entry : CTYXGVMS::MWriterConfigs()) {
        if (entry.second.WorkerId == writerId) {
            entry.second.outputURL = url;
            return entry.second.No;
        }
    }
    return -1;
}

} // namespace

int32_t SetLiveBCUrl(const std::string &url, const std::wstring &settingsFile)
{
    if (url.empty())
        return -16;
    const std::wstring wideUrl = StringToWString(url);
    std::shared_ptr<CTYXWorker> worker;
    const int32_t writerId = CTYXGVMS::GetMWriterByAlias(CTYXGVMS::GeneralSettings().LiveBCWriter, worker);
    auto *writer = dynamic_cast<CTYXMediaWriteWorker *>(worker.get());
    if (writerId < 0 || !writer) {
        TYX_LOG(3, L"Media-writer controling refused for unknown ID(%d) received.", writerId);
        return -8;
    }
    // Only a URL the writer takes is kept, so a refused one never reaches the settings.
    const int32_t changed = writer->ChangeOutput(url);
    if (changed == -1)
        return LIVEBC_URL_REFUSED;
    const int32_t number = StoreConfiguredUrl(writerId, wideUrl);
    if (WriteMWriterOutputURL(number, settingsFile.empty() ? nullptr : settingsFile.c_str(), wideUrl) != 0)
        TYX_LOG(3, L"[WID=%d] The new output URL could not be written to %s.", writerId, settingsFile.c_str());
    std::this_thread::sleep_for(kStartPause);
    if (changed == 0)
        writer->StartDataPushing();
    return 0;
}
