#include "platform/SignalReader.h"
#include "service/CommandLine.h"
#include "service/ServiceCommands.h"

int main(int argc, char **argv)
{
    // Every writer handles EPIPE: a console pipe whose reader went away, or a peer that closed its
    // socket, must not end the run before its recordings are closed.
    CSignalReader::IgnoreBrokenPipe();
    return RunFromCommandLine(argc, argv, ServiceCommandLineActions());
}
