#pragma once

#include "service/CommandLine.h"

// The command-line options that the service layer carries out: the host environment report and
// the auto-start unit.
stCommandLineActions ServiceCommandLineActions();
