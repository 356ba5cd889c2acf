#include "host/ServiceMain.h"

int main(int argc, char **argv)
{
    return RunFromCommandLine(argc, argv);
}
