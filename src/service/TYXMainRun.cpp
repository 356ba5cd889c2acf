#include "service/TYXMainRun.h"

#include "config/ConfigLoaderUtils.h"
#include "config/GTYXConfigXml.h"
#include "core/TYXUtils.h"
#include "core/WideFormat.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "pipeline/FrameRateNegotiation.h"
#include "pipeline/WorkerClasses.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"
#include "rcm/RCProcFuncs.h"
#include "service/ServiceInDemandOps.h"
#include "service/dGlobalFuncs.h"

#include <chrono>
#include <cstdarg>
#include <sys/time.h>
#include <thread>

namespace {

constexpr uint32_t kSettleMs = 6000;
constexpr float kDefaultInputRate = 30.0f;

std::tm LocalNow(int32_t &millis)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    millis = static_cast<int32_t>(now.tv_usec / 1000);
    return local;
}

// Worker threads leave the processors the shifted mask frees; a host too small for that keeps them all.
uint64_t WorkerAffinity(uint64_t processMask)
{
    const uint64_t shifted = processMask >> 2;
    return shifted ? shifted : processMask;
}

} // namespace

CTYXMainRun::CTYXMainRun(stServiceRun &run) : m_run(run), m_graph(BuildWorkerFactoryTable()) {}

void CTYXMainRun::Print(const wchar_t *format, ...) const
{
    // A console write that failed turned the process's screen output off.
    if (!m_run.screenOutput || !CTYXWorker::IsProcessScreenOutputOn())
        return;
    va_list args;
    va_start(args, format);
    const std::wstring text = VFormatWide(format, args);
    va_end(args);
    ConsolePrintfW(L"%s", text.c_str());
}

void CTYXMainRun::PrintRule() const
{
    Print(L"%s\r\n", std::wstring(59, L'-').c_str());
}

// A file that cannot be loaded leaves the settings it holds at their construction values: the run
// goes on (with an empty graph, which the remote control can fill) and says so once.
void CTYXMainRun::ReportUnloadedFile(const std::wstring &path, int32_t result) const
{
    const std::wstring reason = ConfigLoadFailureOf(path);
    TYX_LOG(2, L"Configuration file [%s] cannot be loaded (error=%d: %s): the run goes on with the values it starts with.",
            path.c_str(), result, reason.c_str());
    Print(L"\nConfiguration file [%s] cannot be loaded (error=%d: %s)!\n", path.c_str(), result, reason.c_str());
}

void CTYXMainRun::LoadSystemSettings()
{
    const std::wstring path = m_run.programFolder + L"SysConfig.xml";
    stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    InitGeneralSettings(settings);
    Print(L"[Main] Loading configurations...\n");
    Print(L"\t Loading system configurations...");
    const int32_t result = LoadGeneralCfgXml(path, settings, true);
    if (result < 0) {
        ReportUnloadedFile(path, result);
        return;
    }
    LoadRAVIODevicesCfgXml(path);
    LoadMoxConfigXml(path, CTYXGVMS::MoxConfig());
    if (CTYXGVMS::MoxConfig().UseFpgAudio)
        StartFfmpegAudio();
    Print(L"loaded.\n");
}

void CTYXMainRun::LoadPipelineSettings()
{
    const std::wstring path = m_run.programFolder + L"StreamCfg.xml";
    Print(L"\t Loading Workers configurations...\n");
    const int32_t result = LoadGeneralCfgXml(path, CTYXGVMS::GeneralSettings(), false);
    if (result < 0) {
        ReportUnloadedFile(path, result);
        return;
    }
    const int32_t workers = LoadWorkersConfigXml(path.c_str());
    Print(L"\t     Totally %d workers loaded.\n", workers);
    Print(L"\t Loading OSD/OSG configurations...");
    const int32_t osds = LoadOSDConfigXml(path);
    const int32_t osgs = LoadOSGConfigXml(path);
    Print(L"[%d] OSDs and [%d] OSGs loaded.\n", osds < 0 ? 0 : osds, osgs < 0 ? 0 : osgs);
}

void CTYXMainRun::LoadConfigurations()
{
    LoadSystemSettings();
    LoadPipelineSettings();
    Print(L"\t Loading RCM configurations...");
    if (m_run.services.startRemoteControl) {
        Print(L"loaded.\n");
        PrintRule();
        m_run.services.startRemoteControl(m_run.programFolder, MakeCommandExecutor());
    } else {
        Print(L"not available.\n");
        PrintRule();
    }
}

RcmCommandExecutor CTYXMainRun::MakeCommandExecutor()
{
    stInDemandGraph graph;
    // Sources added by remote command are made as the configured ones, on the run's device.
    graph.create = [this](int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record) {
        return m_graph.CreateSingleWorker(kind, config, record);
    };
    graph.deviceIndex = m_run.cudaDevice < 0 ? 0 : m_run.cudaDevice;
    graph.screenOutput = m_run.screenOutput ? 1 : 0;
    // Shared with the server's category threads, which may outlast the server's close by a command.
    auto executor = std::make_shared<CRCCommandExecutor>(
        std::make_shared<CServiceInDemandOps>(std::move(graph), m_run.hostBootTime), false);
    return [executor](uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply) {
        return executor->OnRCCmd(code, command, reply);
    };
}

void CTYXMainRun::StartEventThread()
{
    const int32_t result = m_eventThread.Start();
    if (result < 0)
        TYX_LOG(3, L"Event thread starting failed with error=%d.", result);
}

void CTYXMainRun::BuildGraph()
{
    Print(L"Lumo[Main] Creating workers...\n");
    m_graph.CreateAllWorkers();
    PrintRule();
    const float rate = GetNegotiatedInputFrameRate(kDefaultInputRate);
    CTYXGVMS::NegotiatedInputFrameRate() = rate;
    TYX_LOG(5, L"The Negotiated-Input-FramRate is %.2f fps.", rate);
    m_graph.ApplyInputFrameRate(rate);
}

void CTYXMainRun::StartGraph()
{
    Print(L"[Main] Initializing workers...\n");
    m_graph.InitAllWorkers(m_run.cudaDevice < 0 ? 0 : m_run.cudaDevice);
    const uint32_t initialised = GetTickCount32();
    PrintRule();
    m_statusScreen = std::make_unique<CConsoleStatusScreen>();
    m_statusScreen->BuildStatusScreenTable();
    Print(L"[Main] Starting Workers...\n");
    for (int32_t kind : {TYX_KIND_MEDIA_WRITER, TYX_KIND_VIDEO_ENCODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_DECODER, TYX_KIND_MEDIA_READER})
        m_graph.StartWorkerGroup(kind);
    PrintRule();
    const uint64_t mask = WorkerAffinity(m_run.processAffinity);
    for (int32_t kind : {TYX_KIND_MEDIA_READER, TYX_KIND_VIDEO_DECODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_ENCODER, TYX_KIND_MEDIA_WRITER})
        m_graph.SetWorkerGroupAffinity(kind, mask);
    const uint32_t elapsed = GetTickCount32() - initialised;
    if (elapsed < kSettleMs)
        SleepMs(kSettleMs - elapsed);
    for (int32_t kind : {TYX_KIND_MEDIA_WRITER, TYX_KIND_VIDEO_ENCODER, TYX_KIND_VIDEO_MIDPROC,
                         TYX_KIND_VIDEO_DECODER, TYX_KIND_MEDIA_READER})
        m_graph.ResumeWorkerGroup(kind);
    int32_t millis = 0;
    const std::tm now = LocalNow(millis);
    Print(L"[Main] Resuming workers...at:%02d:%02d:%02d:%03d...\n", now.tm_hour, now.tm_min, now.tm_sec, millis);
    SleepMs(1000);
    PrintRule();
}

void CTYXMainRun::Announce()
{
    if (m_run.screenOutput && !m_console.IsValid()) {
        // Without a console the run goes on silently rather than leaving its recordings open.
        TYX_LOG(2, L"Console output is not available: screen output is turned off.");
        m_run.screenOutput = false;
        CTYXWorker::SetProcessScreenOutput(false);
    }
    if (m_run.screenOutput) {
        Print(L"*** Lumo Main Thread is:[%d]. ***\n", GetCurrentThreadIdInt());
        m_statusScreen->DrawStatusScreen(m_console);
    }
    SleepMs(100);
    m_run.workersRunning->Set();
    TYX_LOG(5, L"TYX is working and waiting command...");
    if (m_run.notifier) {
        m_run.notifier->Ready();
        m_run.notifier->Status("Running");
    }
    if (m_run.services.announceOnline)
        m_run.services.announceOnline(m_eventThread);
}

int32_t CTYXMainRun::Run()
{
    int32_t millis = 0;
    const std::tm now = LocalNow(millis);
    m_logDay = now;
    Print(L"Lumo Starting with main threadId=[%d] at:%02d:%02d:%02d:%03d.\n", GetCurrentThreadIdInt(), now.tm_hour,
          now.tm_min, now.tm_sec, millis);
    PrintRule();
    LoadConfigurations();
    StartEventThread();
    BuildGraph();
    StartGraph();
    Announce();
    const int32_t result = MainLoop();
    Shutdown();
    ExitAction();
    return result;
}
