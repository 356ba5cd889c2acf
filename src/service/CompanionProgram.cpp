#include "service/CompanionProgram.h"

#include "core/GeneralSettings.h"
#include "core/TYXUtils.h"
#include "service/ServiceLog.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>

namespace fs = std::filesystem;

bool IsPlainFileName(const std::wstring &name)
{
    if (name.empty() || name == L"." || name == L"..")
        return false;
    return std::none_of(name.begin(), name.end(), [](wchar_t c) { return c == L'/' || c < 0x20 || c == 0x7F; });
}

int32_t CCompanionProgram::Start(const stMoxConfig &config, const std::string &outputFile)
{
    if (!config.MOXInLocal)
        return -50;
    if (!IsPlainFileName(config.MOXMainPE)) {
        TYX_GLOBAL_LOG(3, L"[Main]MOX program name(%s) is not a file name!", config.MOXMainPE.c_str());
        return -54;
    }
    const fs::path folder(WStringToString(config.MOXPath));
    const fs::path program = folder / WStringToString(config.MOXMainPE);
    std::error_code error;
    if (!fs::is_regular_file(program, error)) {
        TYX_GLOBAL_LOG(3, L"[Main]MOX program(%S) does not exist!", program.c_str());
        return -54;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_child.IsRunning()) {
        TYX_GLOBAL_LOG(5, L"[Main]MOX program[%d] still runs, stopping it first.", m_child.Pid());
        m_child.Stop(SIGTERM, m_stopTimes.firstMs, 0, m_stopTimes.killMs);
    }
    m_child = CProcessHandle();
    stChildSpawnOptions options;
    options.workingFolder = folder.string();
    options.outputFile = outputFile;
    if (const int32_t result = m_child.Spawn({program.string()}, options)) {
        TYX_GLOBAL_LOG(3, L"[Main]MOX program(%S) starting failed with error=%d!", program.c_str(), -result);
        return -52;
    }
    TYX_GLOBAL_LOG(5, L"[Main]MOX program(%S) started as process[%d].", program.c_str(), m_child.Pid());
    return m_child.Pid();
}

int32_t CCompanionProgram::Stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int32_t pid = m_child.Pid();
    const int32_t step = m_child.Stop(SIGTERM, m_stopTimes.firstMs, 0, m_stopTimes.killMs);
    if (step == -ESRCH)
        return 0;
    if (step < 0) {
        TYX_GLOBAL_LOG(3, L"[Main]MOX program[%d] did not end even after SIGKILL!", pid);
        return step;
    }
    TYX_GLOBAL_LOG(5, L"[Main]MOX program[%d] stopped%s.", pid, step == 0 ? L"" : L" by SIGKILL");
    return 1;
}

void CCompanionProgram::Reap()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_child.IsStarted() || m_child.IsRunning())
        return;
    const int status = m_child.WaitStatus();
    TYX_GLOBAL_LOG(3, L"[Main]MOX program[%d] ended by itself (exit %d).", m_child.Pid(),
                   status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    m_child = CProcessHandle();
}

int32_t CCompanionProgram::Pid()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_child.IsRunning() ? m_child.Pid() : 0;
}

void CCompanionProgram::SetStopTimes(const stChildStopTimes &times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopTimes = times;
}
