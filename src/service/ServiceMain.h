#pragma once

#include <cstdint>
#include <string>

// The start-up routine of a run ("-console", "-silent"): prepares the process (program and log
// folders, system settings, single-instance lock, debug log, mode, events, GPU, priority and
// affinity), runs TYXMain and tidies up. The process exit code: 0 after an orderly stop, 1 when
// the run could not start or another instance holds the lock.
int ServiceMain(int argc, char **argv);

// "-stop": asks the run of this program folder's GlobalTyxId to end (SIGTERM to the lock holder,
// when the holder is this program): 0.
int StopRunningInstance();

// The lock name of a program id: "TYX_SERVICE_PROCESS_%06d".
std::string InstanceLockName(int32_t tyxId);
