#pragma once

#include "service/ConsoleOutput.h"

#include <string>

// "-avcapdvc": the host's audio and video capture devices by device type, as the console shows them.
void ListCaptureDevices(CConsoleOutput &console, const std::string &deviceFolder = "/dev");
