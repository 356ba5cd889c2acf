#include "host/ServiceMain.h"
#include "service/ServiceCommands.h"

int main(int argc, char **argv)
{
    return RunFromCommandLine(argc, argv, ServiceCommandLineActions());
}
