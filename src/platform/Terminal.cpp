#include "platform/Terminal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool IsOpenDescriptor(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

bool IsTerminalDescriptor(int fd)
{
    return fd >= 0 && isatty(fd) == 1;
}

int32_t GetTerminalSize(int fd, int32_t &columns, int32_t &rows)
{
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0)
        return -errno;
    columns = size.ws_col;
    rows = size.ws_row;
    return 0;
}

int32_t WriteFully(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}
