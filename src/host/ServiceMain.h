#pragma once

#include <cstdint>
#include <functional>

// What the command line runs that the layers above the host carry out.
struct stCommandLineActions
{
    std::function<void()> checkEnvironment;                              // "-Checkenv"
    std::function<int32_t(bool remove, const wchar_t *arguments)> autoStart; // "-install", "-uninstall"
};

// Prints the usage text.
void usage();
// The program entry behind main: reads the first option and runs it; the process exit code.
int RunFromCommandLine(int argc, char **argv, const stCommandLineActions &actions = {});
