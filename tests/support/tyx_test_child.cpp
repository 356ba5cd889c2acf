// A stand-in for the programs the service starts (the companion, ffmpeg, a restarted program).
// Driven by its environment:
//   TYX_CHILD_RECORD   file that receives the working folder and the arguments, one per line
//   TYX_CHILD_SIGNALS  file that receives "INT" or "TERM" when that signal ends it
//   TYX_CHILD_IGNORE   "INT", "TERM" or "INT,TERM": signals it ignores
//   TYX_CHILD_READY    FIFO that receives "ready" once all of the above is in place
//   TYX_CHILD_EXIT     exit at once with this code after signalling ready
// Otherwise it waits until a signal ends it.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

const char *g_signals = nullptr;

void OnSignal(int signalNumber)
{
    if (g_signals) {
        const int fd = open(g_signals, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            const char *name = signalNumber == SIGINT ? "INT\n" : "TERM\n";
            ssize_t ignored = write(fd, name, std::strlen(name));
            (void)ignored;
            close(fd);
        }
    }
    _exit(0);
}

void Handle(int signalNumber, const char *ignore)
{
    const char *name = signalNumber == SIGINT ? "INT" : "TERM";
    struct sigaction action{};
    action.sa_handler = ignore && std::strstr(ignore, name) ? SIG_IGN : OnSignal;
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    g_signals = std::getenv("TYX_CHILD_SIGNALS");
    const char *ignore = std::getenv("TYX_CHILD_IGNORE");
    Handle(SIGINT, ignore);
    Handle(SIGTERM, ignore);
    if (const char *record = std::getenv("TYX_CHILD_RECORD")) {
        if (FILE *file = std::fopen(record, "w")) {
            char cwd[4096] = {};
            std::fprintf(file, "%s\n", getcwd(cwd, sizeof(cwd)) ? cwd : "");
            for (int i = 0; i < argc; ++i)
                std::fprintf(file, "%s\n", argv[i]);
            std::fclose(file);
        }
    }
    if (const char *ready = std::getenv("TYX_CHILD_READY")) {
        const int fd = open(ready, O_WRONLY);
        if (fd >= 0) {
            ssize_t ignored = write(fd, "ready\n", 6);
            (void)ignored;
            close(fd);
        }
    }
    if (const char *code = std::getenv("TYX_CHILD_EXIT"))
        return std::atoi(code);
    for (;;)
        pause();
}
