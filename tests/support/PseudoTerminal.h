#pragma once

#include <string>
#include <thread>

// A real pseudo-terminal of a given size: code under test writes to Slave(), and everything it
// wrote is collected from the master side by a reader thread until Finish.
class CPseudoTerminal
{
public:
    CPseudoTerminal(int columns, int rows);
    ~CPseudoTerminal();
    CPseudoTerminal(const CPseudoTerminal &) = delete;
    CPseudoTerminal &operator=(const CPseudoTerminal &) = delete;

    int Slave() const { return m_slave; }
    void Resize(int columns, int rows);
    // Closes the slave side and gives every byte written to it.
    std::string Finish();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_output;
    std::thread m_reader;
};
