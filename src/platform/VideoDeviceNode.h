#pragma once

#include <cstdint>
#include <string>

// What a video device node says about itself. 1 when it is a video capture device, 0 when it
// answers but captures nothing (metadata and output nodes), a negative errno when it cannot be
// opened or asked (then card stays empty).
int32_t QueryVideoDeviceNode(const std::string &path, std::string &card);
