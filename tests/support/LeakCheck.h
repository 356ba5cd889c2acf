#pragma once

// A fixture for tests that move package data and device memory: it fails a test that ends with
// other live package or device blocks than it began with, and disarms every device fault, so that
// one test's leak or fault never shows in the next.

#include "core/FramePackage.h"
#include "platform/GpuDevice.h"

#include <gtest/gtest.h>

class CLeakCheckedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DevInitialize(0);
        m_deviceBlocks = DevAllocationCounts().deviceBlocks;
        m_hostBlocks = FramePackageHostBlocks();
    }
    void TearDown() override
    {
        for (EDevFault fault : {EDevFault::Malloc, EDevFault::Memcpy, EDevFault::Memset, EDevFault::Launch,
                                EDevFault::Context})
            DevInjectFault(fault, 0);
        EXPECT_EQ(DevAllocationCounts().deviceBlocks, m_deviceBlocks) << "device memory leaked or freed twice";
        EXPECT_EQ(FramePackageHostBlocks(), m_hostBlocks) << "package data leaked or freed twice";
    }
    int64_t DeviceBlocksAtStart() const { return m_deviceBlocks; }

private:
    int64_t m_deviceBlocks = 0;
    int64_t m_hostBlocks = 0;
};
