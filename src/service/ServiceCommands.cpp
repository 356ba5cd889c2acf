#include "service/ServiceCommands.h"

#include "core/TYXUtils.h"
#include "platform/SignalReader.h"
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
    actions.run = [](int argc, char **argv) {
        // Only a run reads the stop signals on its main loop; the one-shot options keep their
        // default, so that Ctrl-C ends them. Before any thread exists, so that every thread
        // inherits the mask.
        CSignalReader::BlockStopSignals();
        return ServiceMain(argc, argv);
    };
    actions.stop = [] { return StopRunningInstance(); };
    actions.listCaptureDevices = [] {
        CConsoleOutput console;
        ListCaptureDevices(console);
    };
    return actions;
}
