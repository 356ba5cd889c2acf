#pragma once

#include <string>

// Puts "user:password@" right after the first "://" of the URL, both percent-encoded so that
// characters such as '/', '?', '#', '@' and ':' cannot end the host part early. The URL is
// returned unchanged when it has no "://" or when the user or the password is empty.
std::wstring InsertUrlCredentials(const std::wstring &url, const std::wstring &user, const std::wstring &password);

// The URL as it may be logged or reported: a password in its user part becomes "***".
std::wstring MaskUrlCredentials(const std::wstring &url);
