#pragma once

#include <string>

// The folder for this program's sockets and lock files: $RUNTIME_DIRECTORY (set by systemd), else
// /run/tyx when it is a writable folder, else $XDG_RUNTIME_DIR, else /tmp. Read on every call, so
// tests can point it at a folder of their own.
std::string GetRuntimeFolder();
