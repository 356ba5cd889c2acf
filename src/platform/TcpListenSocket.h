#pragma once

#include "platform/UnixSocket.h"

#include <cstdint>

// A listening TCP socket: on 127.0.0.1 only, or on every address (IPv6 and IPv4 together where the
// host has IPv6, else IPv4). Port 0 takes a free port. 0 with the socket in out, or a negative errno.
int32_t OpenTcpListenSocket(uint16_t port, bool loopbackOnly, CSocketFd &out);
// The local port of a bound socket, 0 when it cannot be read.
uint16_t LocalPortOf(int fd);
