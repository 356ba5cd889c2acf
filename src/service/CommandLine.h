#pragma once

#include <cstdint>
#include <functional>

// What the command line runs that the layers above the host carry out.
struct stCommandLineActions
{
    std::function<void()> checkEnvironment;                              // "-Checkenv"
    std::function<int32_t(bool remove, const wchar_t *arguments)> autoStart; // "-install", "-uninstall"
    std::function<int(int argc, char **argv)> run;                      // "-console", "-silent"
    std::function<int()> stop;                                          // "-stop"
    std::function<void()> listCaptureDevices;                           // "-avcapdvc"
};

// Prints the usage text.
void usage();
// The program entry behind main: reads the first option and runs it; the process exit code (a run
// gives the run's own: 0 after an orderly stop, 1 when it could not start).
int RunFromCommandLine(int argc, char **argv, const stCommandLineActions &actions = {});
