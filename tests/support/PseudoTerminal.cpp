#include "support/PseudoTerminal.h"

#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

CPseudoTerminal::CPseudoTerminal(int columns, int rows)
{
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    if (openpty(&m_master, &m_slave, nullptr, nullptr, &size) != 0)
        throw std::runtime_error("openpty failed");
    // Raw output: what the code wrote arrives unchanged.
    termios modes{};
    tcgetattr(m_slave, &modes);
    cfmakeraw(&modes);
    tcsetattr(m_slave, TCSANOW, &modes);
    // The reader keeps the master drained, so that large writes never block the writer.
    m_reader = std::thread([this] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(m_master, buffer, sizeof(buffer));
            if (got <= 0)
                break; // EIO once the slave is closed and everything is read
            m_output.append(buffer, static_cast<size_t>(got));
        }
    });
}

CPseudoTerminal::~CPseudoTerminal()
{
    Finish();
    if (m_master >= 0)
        close(m_master);
}

void CPseudoTerminal::Resize(int columns, int rows)
{
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = static_cast<unsigned short>(rows);
    ioctl(m_master, TIOCSWINSZ, &size);
}

std::string CPseudoTerminal::Finish()
{
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    return m_output;
}
