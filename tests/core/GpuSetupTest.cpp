#include "core/GpuSetup.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

TEST(GpuSetupTest, BackendIsReportedOnce)
{
    CLogCapture log;
    const EGpuBackend backend = InitGpuDevice(99); // not a valid device on any machine
    EXPECT_EQ(InitGpuDevice(0), backend);
    EXPECT_EQ(DevBackend(), backend);
    if (backend == EGpuBackend::Host) {
        EXPECT_EQ(log.Count(L"no CUDA device: running on the CPU"), 1);
        EXPECT_EQ(DevCurrentDevice(), 0);
    } else {
        EXPECT_EQ(log.Count(L"GPU device 99 is not valid: device 0"), 1);
    }
    EXPECT_EQ(log.Lines().size(), 1u);
}

} // namespace
