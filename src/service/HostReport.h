#pragma once

// The host environment report ("-Checkenv"), the choice of the configured GPU and the move of
// other processes onto part of the processors. System facts are read under a root folder ("/"
// normally, a prepared tree in tests).

#include "service/ConsoleOutput.h"

#include <cstdint>
#include <string>

class IGpuDeviceInfo;
class IProcessAffinityHost;

// The report parts, in the order "-Checkenv" prints them.
int32_t PrintCpuAndMemoryInfo(CConsoleOutput &console, const std::string &root = "/");
// The number of logical processors; -4 when the processor information cannot be read.
int32_t PrintProcessorTopology(CConsoleOutput &console, const std::string &root = "/");
// The number of physical drives. programFolder marks the volume of the program (this program's
// folder when empty).
int32_t PrintStorageInfo(CConsoleOutput &console, const std::string &root = "/", const std::string &programFolder = {});
void PrintOsInfo(CConsoleOutput &console, const std::string &root = "/");
// The number of CUDA devices; -1 when they cannot be counted.
int32_t PrintCudaDevices(CConsoleOutput &console, const IGpuDeviceInfo &gpus);
// The whole report on the console, as "-Checkenv" prints it.
void PrintHostEnvironmentReport(CConsoleOutput &console);

// The report's tables.
// The architecture code of a kernel machine name (9 x64, 5 ARM, 6 Itanium, 0 x86, 0xFFFF unknown).
int32_t ArchitectureCode(const std::string &machine);
const char *ArchitectureName(int32_t code);
const char *StorageBusTypeName(int32_t busType);
int32_t CudaCoresPerMultiProcessor(int32_t major, int32_t minor);
// Sizes in groups of power-of-two units: "%3d,%3.3d,%3.3d" over KiB (GiB, MiB, KiB) and
// "%3d,%3.3d" over bytes (GiB, MiB).
std::string GroupedKiB(uint64_t kib);
std::string GroupedBytes(uint64_t bytes);

// The index of the CUDA device that the configured GPU item names: by LUID when one above 0 is
// given and the device reports one, else by both PCI numbers when they are 0 or above, else by the
// name ignoring case. 0 for an empty item without asking; -1 when the devices cannot be counted or
// none matches; -2 when there is none.
int32_t SelectCudaDevice(std::string name, int64_t luid, int32_t pciBusId, int32_t pciDeviceId,
                         const IGpuDeviceInfo &gpus);
// The same over the devices the CUDA runtime reports, leaving the device layer's choice open.
int32_t SelectCudaDevice(std::string name, int64_t luid, int32_t pciBusId, int32_t pciDeviceId);

// Moves every thread of every other process (kernel threads left out) onto the online processors
// shifted right by shift: the number of processes moved; -8 when the processes cannot be listed;
// -16 when the online processors cannot be read; -32 for a shift below 0 or not below the bit
// length of that mask.
int32_t SetOtherProcessesAffinity(int64_t shift, IProcessAffinityHost &host);
int32_t SetOtherProcessesAffinity(int64_t shift);
// The start-up's move: only when systemd started the program (a dedicated host); a run started by
// hand leaves the other processes alone and logs so. The result of the move, or 0.
int32_t MoveOtherProcessesAtStartup(int64_t shift);
