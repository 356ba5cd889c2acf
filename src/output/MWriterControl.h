#pragma once

#include <cstdint>
#include <string>

// Gives the live-broadcast writer (the general setting LiveBCWriter) a new push URL, for the remote
// command: the URL is written back as "outputURL" of the writer's own section ("MWriter_#" and its
// number) in settingsFile (none: not written back), stored in the writer's configuration record,
// and handed to the running writer, which is told to start pushing once the new destination is
// open. 0 when the writer exists (whatever the change gave), -8 when it does not, -16 for an
// empty URL.
int32_t SetLiveBCUrl(const std::string &url, const std::wstring &settingsFile);
