#pragma once

// The separator lines of the host report.
inline constexpr const char *LONG_SEPARATOR =
    "+--------------------------------------------------------------+\r\n";
inline constexpr const char *SHORT_SEPARATOR = "+---------------------------------------------+\r\n";
