#pragma once

#include "config/ConfigXmlDocument.h"

#include <cstdint>
#include <string>

// Small steps that every configuration loader takes.

// Loads the file into the document; on failure logs why (naming the loader) and returns the Load code.
int32_t OpenConfigDocument(CConfigXmlDocument &document, const std::wstring &path, const char *loader);
// Why the last load of the file failed; empty when it loaded (or was never loaded).
std::wstring ConfigLoadFailureOf(const std::wstring &path);

// True when GetNodeValue succeeded and converted a value.
bool ReadNodeValue(CConfigXmlDocument &document, const wchar_t *xpath, const wchar_t *key, int32_t typeCode,
                   stConfigValue &value);

// The item's value of key, or none when the item has no such entry ("absent").
const stConfigValue *FindItemValue(const ConfigValueMap &values, const wchar_t *key);

// The value of a key when present; the target keeps its value when the key is absent.
bool TakeBool(const ConfigValueMap &values, const wchar_t *key, bool &target);
bool TakeBool(const ConfigValueMap &values, const wchar_t *key, uint8_t &target);
bool TakeInt(const ConfigValueMap &values, const wchar_t *key, int32_t &target);
bool TakeReal(const ConfigValueMap &values, const wchar_t *key, float &target);
bool TakeText(const ConfigValueMap &values, const wchar_t *key, std::wstring &target);

// A float truncated toward zero into 32 bits, clamped, NaN giving 0.
int32_t TruncateToInt32(float value);
