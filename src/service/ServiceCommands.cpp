#include "service/ServiceCommands.h"

#include "core/TYXUtils.h"
#include "service/CaptureDeviceList.h"
#include "service/ConsoleOutput.h"
#include "service/HostReport.h"
#include "service/ServiceMain.h"
#include "service/dGlobalFuncs.h"

stCommandLineActions ServiceCommandLineActions()
{
    stCommandLineActions actions;
    actions.checkEnvironment = [] {
        CConsoleOutput console;
        PrintHostEnvironmentReport(console);
    };
    actions.autoStart = [](bool remove, const wchar_t *arguments) {
        return SetAutoStartConsoleModule(remove, arguments);
    };
    actions.run = [](int argc, char **argv) { return ServiceMain(argc, argv); };
    actions.stop = [] { return StopRunningInstance(); };
    actions.listCaptureDevices = [] {
        CConsoleOutput console;
        ListCaptureDevices(console);
    };
    return actions;
}
