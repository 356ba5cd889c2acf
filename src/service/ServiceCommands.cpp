#include "service/ServiceCommands.h"

#include "service/ConsoleOutput.h"
#include "service/HostReport.h"
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
    return actions;
}
