#pragma once

// The resources carried inside the program, found by type name (case-insensitive) and numeric id;
// on this platform they are linked in as read-only data at build time.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int32_t TYX_RES_ANIMATE_ID = 105;
inline constexpr const wchar_t *TYX_RES_ANIMATE_TYPE = L"ANIMATE";

// True with the resource's bytes (valid for the life of the program); false when there is none.
bool FindEmbeddedResource(const std::wstring &typeName, int32_t id, const uint8_t **data, size_t *size);
