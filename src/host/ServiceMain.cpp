#include "host/ServiceMain.h"

#include "core/TYXUtils.h"

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

int RunFromCommandLine(int argc, char **argv)
{
    (void)argv;
    if (argc < 2) {
        usage();
        return -1;
    }
    // The run modes arrive with the service host; until then every option shows the usage text.
    usage();
    return -1;
}
