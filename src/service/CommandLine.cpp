#include "service/CommandLine.h"

#include "core/TYXUtils.h"

#include <strings.h>

void usage()
{
    ConsolePrintf("%s\n", "Usage of Lumo:");
    ConsolePrintfW(L"  -console\t\t Run Lumo in console mode.\n");
    ConsolePrintfW(L"  -silent\t\t Run Lumo in silent mode(No screen output).\n");
    ConsolePrintfW(L"  -install auto-console\t\t Install Lumo as auto-start console app.\n");
    ConsolePrintfW(L"  -stop \t\t Stop Lumo.\n");
    ConsolePrintfW(L"  -uninstall\t\t Uninstall Lumo.\n");
    ConsolePrintfW(L"  -Checkenv\t\t Checking running environment.\n");
    ConsolePrintfW(L"  -avcapdvc\t\t List local fixed audio/video capture devices.\n");
}

namespace {

bool IsOption(const char *argument, const char *option)
{
    return strcasecmp(argument, option) == 0;
}

int RunInstall(int argc, char **argv, const stCommandLineActions &actions)
{
    if (argc < 3 || IsOption(argv[2], "manualstart") || IsOption(argv[2], "autostart"))
        return 0;
    if (!IsOption(argv[2], "auto-console")) {
        usage();
        return 0;
    }
    if (actions.autoStart)
        actions.autoStart(false, L"-silent");
    return 0;
}

int RunService(int argc, char **argv, const stCommandLineActions &actions)
{
    if (IsOption(argv[1], "-console"))
        ConsolePrintf("Lumo Starting in console mode...\r\n");
    else
        ConsolePrintf("Lumo starting in silent mode...\r\n");
    return actions.run ? actions.run(argc, argv) : 0;
}

} // namespace

int RunFromCommandLine(int argc, char **argv, const stCommandLineActions &actions)
{
    if (argc < 2) {
        usage();
        return -1;
    }
    const char *option = argv[1];
    if (IsOption(option, "-Checkenv")) {
        ConsolePrintf("Lumo running for environment checking only...\r\n");
        if (actions.checkEnvironment)
            actions.checkEnvironment();
        return 0;
    }
    if (IsOption(option, "-install"))
        return RunInstall(argc, argv, actions);
    if (IsOption(option, "-uninstall")) {
        if (actions.autoStart)
            actions.autoStart(true, nullptr);
        return 0;
    }
    if (IsOption(option, "-start"))
        return 0;
    if (IsOption(option, "-console") || IsOption(option, "-silent"))
        return RunService(argc, argv, actions);
    if (IsOption(option, "-stop"))
        return actions.stop ? actions.stop() : 0;
    if (IsOption(option, "-avcapdvc")) {
        if (actions.listCaptureDevices)
            actions.listCaptureDevices();
        return 0;
    }
    usage();
    return -1;
}
