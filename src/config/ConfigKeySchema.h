#pragma once

#include "config/ConfigXmlDocument.h"

#include <cstdint>

// Element kinds that have a key schema.
constexpr int32_t CFG_SCHEMA_MEDIA_SOURCE = 10;
constexpr int32_t CFG_SCHEMA_SOURCE_STREAM = 17;
constexpr int32_t CFG_SCHEMA_AUDIO_DECODER = 20;
constexpr int32_t CFG_SCHEMA_VIDEO_DECODER = 25;
constexpr int32_t CFG_SCHEMA_VIDEO_MIDPROC = 40;
constexpr int32_t CFG_SCHEMA_CHILD_WINDOW = 41;
constexpr int32_t CFG_SCHEMA_SPLIT_OUTPUT = 42;
constexpr int32_t CFG_SCHEMA_AUDIO_ENCODER = 50;
constexpr int32_t CFG_SCHEMA_VIDEO_ENCODER = 55;
constexpr int32_t CFG_SCHEMA_MEDIA_WRITER = 70;
constexpr int32_t CFG_SCHEMA_OSD = 80;
constexpr int32_t CFG_SCHEMA_OSG = 90;

// Empties the schema and fills it with the element names of the kind and their value-type codes;
// any other kind leaves it empty (every name then reads as code 20). Any thread may call.
void GetConfigKeySchema(int32_t kind, ConfigKeySchema &schema);
