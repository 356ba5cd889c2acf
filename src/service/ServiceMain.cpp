#include "service/ServiceMain.h"

#include "config/GTYXConfigXml.h"
#include "core/GpuSetup.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/RVDOServer.h"
#include "platform/HostInfo.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessAffinity.h"
#include "platform/ProcessTable.h"
#include "platform/Terminal.h"
#include "platform/ServiceManager.h"
#include "service/DependedServices.h"
#include "service/DiscoveryHost.h"
#include "service/HostReport.h"
#include "service/RemoteControlHost.h"
#include "service/ScreenRefreshThread.h"
#include "service/TYXMain.h"
#include "service/dGlobalFuncs.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <sched.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailed = 1;
constexpr int kPriorityNice = -10;

#define SERVICE_LOG(level, format, ...) \
    DebugLog((level), "ServiceMain", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

std::wstring Rule(int length)
{
    return std::wstring(static_cast<size_t>(length), L'-');
}

int64_t BootTime(int64_t now)
{
    timespec uptime{};
    clock_gettime(CLOCK_BOOTTIME, &uptime);
    return now - static_cast<int64_t>(uptime.tv_sec);
}

// The program's folder with its trailing "/"; empty when the program path cannot be read.
std::wstring ProgramFolderOf(const std::string &programPath)
{
    const size_t slash = programPath.rfind('/');
    if (slash == std::string::npos)
        return {};
    return StringToWString(programPath.substr(0, slash + 1));
}

void MakeLogFolder(const std::wstring &folder)
{
    std::error_code error;
    fs::create_directories(fs::path(folder), error);
    if (error || !fs::is_directory(fs::path(folder), error))
        ConsolePrintfW(L"Logs folder:[%s] creating failed!\n", folder.c_str());
}

void StartTheLog(stServiceRun &run)
{
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    const int32_t removed = CleanupDebugLogs(run.logFolder, static_cast<int64_t>(settings.DebuglogLife) * 86400,
                                             settings.DebuglogSizeLimit, L".log");
    if (removed > 0)
        ConsolePrintfW(L"%d debug log files removed from folder:[%s].\n", removed, run.logFolder.c_str());
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    run.debugLevel = settings.DebugLevel;
    const std::wstring path = BuildDebugLogFilePath(run.logFolder, local);
    const int32_t started = StartDebugLog(settings.DebugLevel, path);
    if (started < 0)
        ConsolePrintfW(L"Debug log [%s] cannot be written (error=%d): the run goes on without it.\n", path.c_str(),
                       started);
    const wchar_t *plus = L"++++++++++++++++++++++++++++++++++++++++++++++++";
    SERVICE_LOG(settings.DebugLevel, L"%s", plus);
    SERVICE_LOG(settings.DebugLevel, L"+++--------Lumo is starting...--------+++");
    SERVICE_LOG(settings.DebugLevel, L"%s", plus);
    ConsolePrintfW(L"%s\r\n", Rule(59).c_str());
}

void LogVersion()
{
    const stProgramVersion version = TyxProgramVersion();
    SERVICE_LOG(CTYXGVMS::GeneralSettings().DebugLevel, L"Current Version is: %d.%d.%d.%d %s.", version.major,
                version.minor, version.build, version.revision, L"Release");
    ConsolePrintfW(L"Current Version is: %d.%d.%d.%d %s.\r\n", version.major, version.minor, version.build,
                   version.revision, L"Release");
    ConsolePrintfW(L"%s\r\n", Rule(41).c_str());
}

// The banner text of the monitor preview: empty when every depended service runs.
std::wstring CheckServicesWeNeed()
{
    stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    if (settings.DependedService.empty())
        return {};
    CSystemdServiceManager manager;
    const int32_t running = CheckDependedServices(settings.DependedService, settings.TimeWaitingDpdc, manager);
    if (running >= static_cast<int32_t>(settings.DependedService.size()))
        return {};
    SERVICE_LOG(2, L"Fatal Error: At least 1 Lumo Depended service(in configuration) not running normally! most module "
                   L"will not working then.");
    return L"Depended services not running normally!";
}

// Service mode is the run that systemd supervises: it needs the notify socket to report to.
bool EnterMode(int argc, char **argv, stServiceRun &run)
{
    const bool console =
        argc == 2 && (strcasecmp(argv[1], "-console") == 0 || strcasecmp(argv[1], "-silent") == 0);
    run.serviceMode = !console;
    run.screenOutput = console && strcasecmp(argv[1], "-silent") != 0;
    if (console) {
        SERVICE_LOG(5, L"Lumo running in console mode.");
        return true;
    }
    if (!run.notifier || !run.notifier->Active()) {
        SERVICE_LOG(2, L"ServiceCtrlHandler registering falied with last erro=%d.", ENOTCONN);
        return false;
    }
    run.notifier->Notify("EXTEND_TIMEOUT_USEC=10000000");
    return true;
}

void ChooseGpu(stServiceRun &run)
{
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    // The loader numbers the configured GPUs from 1: the lowest one is the one meant.
    stTYXGpuSetting gpu;
    if (!settings.GPUs.empty())
        gpu = settings.GPUs.begin()->second;
    else
        gpu = stTYXGpuSetting{};
    // Without any CUDA device there is nothing to choose among: the host backend takes the work.
    const bool anyDevice = DevDeviceCount() > 0;
    const bool unnamed = gpu.DeviceName.empty() && gpu.GPULUID == 0 && gpu.PCIBUSID < 0;
    int32_t index = !anyDevice || unnamed ? 0
                                          : SelectCudaDevice(WStringToString(gpu.DeviceName), gpu.GPULUID,
                                                             gpu.PCIBUSID, gpu.PCIDEVICEID);
    if (index < 0) {
        SERVICE_LOG(2, L"GPU device not specified correctly, use default one(#0) then.");
        ConsolePrintf("GPU device not specified correctly, use deault one(#0) then.\r\n");
        index = 0;
    }
    if (InitGpuDevice(index) == EGpuBackend::Cuda) {
        SERVICE_LOG(5, L"Using GPU (#%d) as parallel computation devide.", index);
        ConsolePrintf("Using GPU (#%d) as parallel computation devide.\r\n", index);
        run.cudaDevice = index;
    } else {
        // No GPU: the pictures are processed on the processors.
        ConsolePrintf("No CUDA device: running on the CPU.\r\n");
        run.cudaDevice = -1;
    }
    ConsolePrintfW(L"%s\r\n\r\n", Rule(59).c_str());
}

void RaisePriority()
{
    errno = 0;
    if (setpriority(PRIO_PROCESS, 0, kPriorityNice) == 0)
        SERVICE_LOG(6, L"Lumo's priority was set to %d.", getpriority(PRIO_PROCESS, 0));
    else
        SERVICE_LOG(3, L"Lumo priority setting failed whih last error=%d!", errno);
}

int32_t BitLength(uint64_t mask)
{
    int32_t length = 0;
    while (mask) {
        ++length;
        mask >>= 1;
    }
    return length;
}

bool SetUpAffinity(stServiceRun &run)
{
    CHostProcessAffinity host;
    uint64_t processMask = 0;
    uint64_t systemMask = 0;
    const int32_t own = host.GetThreadAffinity(0, processMask);
    const int32_t system = host.GetSystemMask(systemMask);
    if (own < 0 || system < 0) {
        SERVICE_LOG(3, L"Lumo process affinity retreiving failed whih last error=%d!", own < 0 ? -own : -system);
        return false;
    }
    const int32_t cores = BitLength(systemMask);
    SERVICE_LOG(6, L"Lumo's process affinity is %lld, And system's cores num is %d.",
                static_cast<long long>(processMask), cores);
    MoveOtherProcessesAtStartup(cores / 2);
    if (processMask != systemMask) {
        const int32_t set = host.SetThreadAffinity(0, systemMask);
        if (set == 0 && host.GetThreadAffinity(0, processMask) == 0)
            SERVICE_LOG(6, L"Lumo process affinity was set to %lld.", static_cast<long long>(processMask));
        else
            SERVICE_LOG(3, L"Lumo process affinity setting failed whih last error=%d!", -set);
    }
    run.processAffinity = processMask;
    return true;
}

void SetConsoleTitle(const stServiceRun &run)
{
    if (run.serviceMode || !IsTerminalDescriptor(1))
        return;
    WriteFully(1, "\x1b]0;Kestro-Lumo-Console\x07");
}

// The steps between the lock and TYXMain; false ends the run.
bool PrepareRun(int argc, char **argv, stServiceRun &run)
{
    if (!EnterMode(argc, argv, run))
        return false;
    if (run.screenOutput && !IsConsoleWritable()) {
        SERVICE_LOG(2, L"Console output failed: screen output is turned off.");
        run.screenOutput = false;
    }
    CTYXWorker::SetProcessScreenOutput(run.screenOutput);
    CTYXGVMS::SetExitRequestEvent(std::make_shared<CEvent>(false));
    if (!run.signals->IsOpen())
        ConsolePrintf("\n ERROR: Failed to set control handler!");
    SERVICE_LOG(5, L"TYX Service started normally.");
    ConsolePrintfW(L"%s\r\n", Rule(59).c_str());
    SetConsoleTitle(run);
    ChooseGpu(run);
    RaisePriority();
    return SetUpAffinity(run);
}

int FinishRun(const stServiceRun &run, int exitCode)
{
    SERVICE_LOG(CTYXGVMS::GeneralSettings().DebugLevel, L" Lumo terminated normally.");
    if (run.screenOutput)
        ConsolePrintf(".--------------------------.\r\n");
    StopDebugLog();
    CTYXGVMS::SetExitRequestEvent(nullptr);
    if (!run.serviceMode && run.screenOutput)
        ConsolePrintf("Lumo terminated.\n");
    return exitCode;
}

} // namespace

std::string InstanceLockName(int32_t tyxId)
{
    char name[64];
    snprintf(name, sizeof(name), "%s_%6.6d", "TYX_SERVICE_PROCESS", tyxId);
    return name;
}

int ServiceMain(int argc, char **argv)
{
    stServiceRun run;
    run.startTime = time(nullptr);
    // The program clock takes the wall clock here, at the start, and goes on with the monotonic one.
    (void)GetCurrentTimeUs();
    run.hostBootTime = BootTime(run.startTime);
    run.programFolder = ProgramFolderOf(OwnProgramPath());
    if (run.programFolder.empty())
        return kExitFailed;
    CTYXGVMS::ProgramFolder() = run.programFolder;
    // Relative paths of the configuration (sources, recordings) mean the program's folder, also
    // when systemd or a desktop starts the program elsewhere.
    if (chdir(WStringToString(run.programFolder).c_str()) != 0)
        ConsolePrintfW(L"Program folder:[%s] cannot be entered (error=%d)!\n", run.programFolder.c_str(), errno);
    run.logFolder = run.programFolder + L"logs";
    MakeLogFolder(run.logFolder);
    const std::wstring systemFile = run.programFolder + L"SysConfig.xml";
    // A file that cannot be loaded leaves the construction values (program id 0, log level 5); the
    // run reports it when it loads the file again, once the log is running.
    LoadGeneralCfgXml(systemFile, CTYXGVMS::GeneralSettings(), true);
    CInstanceLock lock;
    const int32_t locked = lock.Acquire(InstanceLockName(CTYXGVMS::GeneralSettings().GlobalTyxId));
    if (locked == -EWOULDBLOCK) {
        ConsolePrintf("\n Another Lumo instance is running on local machine already!");
        return kExitFailed;
    }
    if (locked == CInstanceLock::LOCK_FOREIGN_OWNER) {
        ConsolePrintf("\n The instance lock [%s] belongs to another user: this run is refused.\n",
                      CInstanceLock::LockFilePath(InstanceLockName(CTYXGVMS::GeneralSettings().GlobalTyxId)).c_str());
        return kExitFailed;
    }
    if (locked < 0) {
        ConsolePrintf("\n The instance lock [%s] cannot be made (error=%d)!\n",
                      CInstanceLock::LockFilePath(InstanceLockName(CTYXGVMS::GeneralSettings().GlobalTyxId)).c_str(),
                      -locked);
        return kExitFailed;
    }
    StartTheLog(run);
    LogVersion();
    const std::wstring banner = CheckServicesWeNeed();
    CSignalReader signals;
    CSystemdNotifier notifier;
    run.signals = &signals;
    run.notifier = &notifier;
    if (!PrepareRun(argc, argv, run)) {
        StopDebugLog();
        return kExitFailed;
    }
    // One serial for the remote-control identity and the discovery notices, so peers match the two.
    const std::string serial = ReadUnitSerial("/");
    CRemoteControlHost remoteControl;
    run.services.startRemoteControl = [&remoteControl, &serial](const std::wstring &folder,
                                                                RcmCommandExecutor executor) {
        remoteControl.LoadSettings(folder);
        remoteControl.Start(folder, std::move(executor), serial);
    };
    run.services.stopRemoteControl = [&remoteControl] { remoteControl.Close(); };
    CDiscoveryHost discovery;
    run.services.announceOnline = [&discovery, &serial](CTYXEventThread &events) {
        stDiscoverySources sources;
        sources.serialText = serial;
        sources.tcpListenPort = static_cast<uint16_t>(CTYXGVMS::RcmTcpListenPort().load());
        discovery.AnnounceOnline(sources, events);
    };
    run.services.announceOffline = [&discovery](CTYXEventThread &events) { discovery.AnnounceOffline(events); };
    CScreenRefreshThread refresh;
    if (!run.serviceMode && CTYXGVMS::GeneralSettings().InitializeMonitors) {
        CRVDOServer::InitMonitors(L"", true, banner.empty() ? CTYXGVMS::GeneralSettings().StandByMsg : banner,
                                  run.cudaDevice, 0);
        refresh.StartScreenRefreshThread(run.cudaDevice);
    }
    const int32_t result = TYXMain(run);
    refresh.StopRefreshThread();
    return FinishRun(run, result == 0 ? 0 : kExitFailed);
}

int StopRunningInstance()
{
    const std::string program = OwnProgramPath();
    const std::wstring folder = ProgramFolderOf(program);
    stTYXGeneralSettings settings;
    InitGeneralSettings(settings);
    LoadGeneralCfgXml(folder + L"SysConfig.xml", settings, true);
    const int32_t holder = CInstanceLock::HolderOf(InstanceLockName(settings.GlobalTyxId));
    // Only a run of this very program is asked to end, never whatever process reuses the number.
    if (holder > 0 && holder != getpid() && ReadProcessExe(holder) == program)
        kill(holder, SIGTERM);
    return 0;
}
