#include "platform/SignalReader.h"
#include "service/CommandLine.h"
#include "service/ServiceCommands.h"

int main(int argc, char **argv)
{
    // Before any thread exists, so that every thread inherits the mask and the run reads the
    // signals on its main loop.
    CSignalReader::BlockStopSignals();
    return RunFromCommandLine(argc, argv, ServiceCommandLineActions());
}
