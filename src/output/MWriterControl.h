#pragma once

#include <cstdint>
#include <string>

// Gives the live-broadcast writer (the general setting LiveBCWriter) a new push URL, for the remote
// command: the URL is written back as "outputURL" of the writer's own section ("MWriter_#" and its
// number) in settingsFile (none: not written back), stored in the writer's configuration record,
// and handed to the running writer, which is told to start pushing once the new destination is
// open. 0 when the writer exists and took the URL (whatever the opening gave), -8 when it does not
// exist, -16 for an empty URL, LIVEBC_URL_REFUSED when the writer did not take the URL (another scheme,
// control characters, too long; a writer that does not push): nothing changed then.
constexpr int32_t LIVEBC_URL_REFUSED = -1;
int32_t SetLiveBCUrl(const std::string &url, const std::wstring &settingsFile);
