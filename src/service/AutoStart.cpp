// Auto-start at boot: a systemd unit that runs this program with its arguments.

#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "core/WideFormat.h"
#include "platform/ProcessHandle.h"
#include "platform/ProcessTable.h"
#include "service/AutoStartUnit.h"
#include "service/ServiceLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t *AUTO_RUN_NAME = L"TYXConsole";
constexpr const char *UNIT_NAME = "tyxconsole.service";
constexpr const char *SERVICE_DISPLAY_NAME = "Kestro-TYX-Service";

// Logs the text and prints it on the console; success texts end with a full stop there.
void Report(int32_t level, const wchar_t *format, int32_t error, bool success = false)
{
    TYX_GLOBAL_LOG(level, format, AUTO_RUN_NAME, error);
    const std::wstring text = FormatWide(format, AUTO_RUN_NAME, error);
    ConsolePrintf("%s%s\r\n", WStringToString(text).c_str(), success ? "." : "");
}

// One word of an ExecStart line, quoted, with systemd's escapes for "\" and the quote and with
// "%" and "$" doubled so that no specifier or variable is expanded; none for a word with a
// control character, which would end the line and let the rest become unit settings.
std::optional<std::string> ExecWord(const std::string &word)
{
    std::string quoted = "\"";
    for (const char c : word) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return std::nullopt;
        if (c == '\\' || c == '"')
            quoted += '\\';
        if (c == '%' || c == '$')
            quoted += c;
        quoted += c;
    }
    return quoted + "\"";
}

std::optional<std::string> ExecLine(const std::string &program, const std::wstring &arguments)
{
    std::optional<std::string> line = ExecWord(program);
    std::istringstream words(WStringToString(arguments));
    std::string word;
    while (line && words >> word) {
        const std::optional<std::string> quoted = ExecWord(word);
        if (!quoted)
            return std::nullopt;
        *line += " " + *quoted;
    }
    return line;
}

std::string UnitText(const std::string &execLine)
{
    std::string text = kAutoStartUnitTemplate;
    const std::string marker = "@EXEC_START@";
    const size_t at = text.find(marker);
    if (at != std::string::npos)
        text.replace(at, marker.size(), execLine);
    return text;
}

// Writes through a temporary file and a rename, so that systemd never reads half a unit.
int32_t WriteUnitFile(const fs::path &unitFile, const std::string &text)
{
    const fs::path temporary = unitFile.string() + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        if (!file)
            return errno ? errno : EACCES;
        file << text;
        file.flush();
        if (!file) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return EIO;
        }
    }
    std::error_code error;
    fs::rename(temporary, unitFile, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return error.value();
    }
    return 0;
}

class CSystemctl
{
public:
    explicit CSystemctl(const stAutoStartTarget &target) : m_target(target)
    {
        if (!m_target.runner)
            m_target.runner = [](const std::vector<std::string> &argv) { return RunCommand(argv, 30000); };
    }

    bool IsRealRoot() const { return fs::path(m_target.root).lexically_normal() == fs::path("/"); }

    // "systemctl [--root=...] <words...> tyxconsole.service": its exit code.
    int32_t Run(std::initializer_list<const char *> words)
    {
        std::vector<std::string> argv = {"systemctl"};
        if (!IsRealRoot())
            argv.push_back("--root=" + m_target.root);
        argv.insert(argv.end(), words.begin(), words.end());
        argv.push_back(UNIT_NAME);
        return m_target.runner(argv);
    }

    bool IsActive() { return Run({"is-active", "--quiet"}) == 0; }

    // The manager reads the changed unit folder; there is none to ask under another root.
    void Reload()
    {
        if (IsRealRoot())
            m_target.runner({"systemctl", "daemon-reload"});
    }

private:
    stAutoStartTarget m_target;
};

// A unit left running would go on after its removal: it is stopped as it is disabled, with the
// progress texts of the service's uninstall.
void StopAndDisable(CSystemctl &systemctl)
{
    const bool running = systemctl.IsActive();
    if (running)
        ConsolePrintf("Stopping %s.", SERVICE_DISPLAY_NAME);
    systemctl.Run({"disable", "--now"});
    if (!running)
        return;
    if (systemctl.IsActive())
        ConsolePrintf("\n%s failed to stop.\n", SERVICE_DISPLAY_NAME);
    else
        ConsolePrintf("\n%s stopped.\n", SERVICE_DISPLAY_NAME);
}

int32_t RemoveUnit(const stAutoStartTarget &target, const fs::path &unitFile, bool systemdRuns)
{
    CSystemctl systemctl(target);
    std::error_code error;
    if (!fs::exists(unitFile, error)) {
        Report(3, L"AutoRunKey-Item(%s) deleting failed with error=%d!", ENOENT);
        ConsolePrintf("No auto-start unit is installed (%s).\r\n", unitFile.c_str());
        return -4;
    }
    if (systemdRuns)
        StopAndDisable(systemctl);
    fs::remove(unitFile, error);
    if (error) {
        Report(3, L"AutoRunKey-Item(%s) deleting failed with error=%d!", error.value());
        return -4;
    }
    if (systemdRuns)
        systemctl.Reload();
    Report(5, L"AutoRunKey-Item(%s) removed successfully", 0, true);
    return 0;
}

int32_t InstallUnit(const stAutoStartTarget &target, const fs::path &unitFile, const std::wstring &arguments)
{
    const std::string program = target.programPath.empty() ? OwnProgramPath() : target.programPath;
    if (program.empty() || program.size() > PATH_MAX)
        return -1;
    const std::optional<std::string> execLine = ExecLine(program, arguments);
    if (!execLine) {
        TYX_GLOBAL_LOG(3, L"AutoRunKey-Item(%s): the program path holds control characters and cannot be started by a unit",
                AUTO_RUN_NAME);
        ConsolePrintf("The program path holds control characters: no auto-start unit is written.\r\n");
        return -1;
    }
    if (const int32_t error = WriteUnitFile(unitFile, UnitText(*execLine))) {
        Report(3, L"AutoRunKey-Item(%s) writing failed with error=%d!", error);
        if (error == EACCES || error == EPERM || error == EROFS)
            ConsolePrintf("Installing the auto-start unit needs root.\r\n");
        return -4;
    }
    CSystemctl systemctl(target);
    systemctl.Reload();
    if (const int32_t result = systemctl.Run({"enable"})) {
        Report(3, L"AutoRunKey-Item(%s) writing failed with error=%d!", result);
        ConsolePrintf("systemctl enable %s failed: the unit is written but not enabled.\r\n", UNIT_NAME);
        return -4;
    }
    Report(5, L"AutoRunKey-Item(%s) wrote successfully", 0, true);
    return 0;
}

} // namespace

int32_t SetAutoStartConsoleModule(bool remove, const wchar_t *arguments, const stAutoStartTarget &target)
{
    const fs::path root = target.root.empty() ? fs::path("/") : fs::path(target.root);
    const fs::path unitFolder = root / "etc/systemd/system";
    const bool systemdRuns = fs::exists(root / "run/systemd/system");
    if (remove)
        return RemoveUnit(target, unitFolder / UNIT_NAME, systemdRuns);
    if (!systemdRuns || !fs::is_directory(unitFolder)) {
        const int32_t error = ENOENT;
        TYX_GLOBAL_LOG(3, L"AutoRunKey-Folder opening failed with error=%d!", error);
        ConsolePrintf("AutoRunKey-Folder opening failed with error=%d!\r\n", error);
        ConsolePrintf("Auto-start needs systemd, which does not run on this host.\r\n");
        return -4;
    }
    return InstallUnit(target, unitFolder / UNIT_NAME, arguments ? arguments : L"");
}
