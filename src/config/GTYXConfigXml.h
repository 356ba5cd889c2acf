#pragma once

#include "config/ConfigXmlDocument.h"
#include "core/GeneralSettings.h"
#include "core/TYXWorkerConfig.h"

#include <cstdint>
#include <string>

// Loaders of the XML configuration files. Each opens its own document, reads it and closes it; a
// file that cannot be loaded gives the document's Load code (-1 or -4), a log line and no change.
// They run on the main thread at start-up.

// ---- system settings ("SysConfig.xml" and the General part of "StreamCfg.xml") ----

// The values of the run before the files are read.
void InitGeneralSettings(stTYXGeneralSettings &settings);
// gpuSettings set: the "SysConfig.xml" part (GPUs, General, EfficiencyCtrl); clear: the General
// keys of "StreamCfg.xml". 0 or the Load code.
int32_t LoadGeneralCfgXml(const std::wstring &path, stTYXGeneralSettings &settings, bool gpuSettings);
// Fills the four fixed device maps of the program-wide state; the number of entries, or the Load code.
int32_t LoadRAVIODevicesCfgXml(const std::wstring &path);
// 0, -1 when a configured path or name fails its check (each failure logged), or the Load code.
int32_t LoadMoxConfigXml(const std::wstring &path, stMoxConfig &settings);

// ---- worker sections of "StreamCfg.xml" ----

// Loads every worker section in the fixed order (media sources, video decoders, audio decoders,
// video mid-processors, video encoders, audio encoders, media writers) into the configuration
// registries: the sum of the section results, a negative one counting 0; -1 for no path.
int32_t LoadWorkersConfigXml(const wchar_t *path);
// Empties and fills the media-source registry: -1 when a source or stream was refused for a
// reason the section reports, else the number of sources registered; or the Load code.
int32_t LoadMSReadersConfigXml(const std::wstring &path);
// Fills one stream record of a source from the keys of its "Stream" element.
void GetStreamConfigFromItemValues(stTYXStreamConfig &stream, const stMediaSourceReadWorkerConfig &source,
                                   const ConfigValueMap &values);
// The other sections add to their registries (the mid-processors' is emptied first) and give the
// number of records in it, or the Load code. Items whose reference names no worker loaded before
// them are dropped.
int32_t LoadVideoDecodersConfigXml(const std::wstring &path);
int32_t LoadAudioDecodersConfigXml(const std::wstring &path);
// Also sets VmpLevelCount and may raise LoadSeqCounter; -1 when an item was refused for a reason
// the section reports.
int32_t LoadVMPsConfigXml(const std::wstring &path);
int32_t LoadVideoEncodersConfigXml(const std::wstring &path);
int32_t LoadAudioEncodersConfigXml(const std::wstring &path);
// The number of writers added.
int32_t LoadMWritersConfigXml(const std::wstring &path);

// ---- on-screen texts and graphics of "StreamCfg.xml", after the worker sections ----

// Empty and fill the OSD and OSG registries: the number of records in it, or the Load code.
int32_t LoadOSDConfigXml(const std::wstring &path);
int32_t LoadOSGConfigXml(const std::wstring &path);

// ---- run-time write-back into an INI file ----

// "CtrlPort=<port>" under "[TYXGeneral]": 0 (also when file is none), -3 when the write fails.
int32_t WriteCtrlPortSetting(const wchar_t *file, uint16_t port);
// "outputURL=<url>" under "[MWriter_#<number>]", the number taken as signed 16-bit: 0 (also when
// file is none), -3 when the write fails.
int32_t WriteMWriterOutputURL(int32_t writerNumber, const wchar_t *file, const std::wstring &url);
