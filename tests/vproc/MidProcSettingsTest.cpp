// The status colours and text height of the general settings reach every mid-processing worker.

#include "core/TYXWorkerConfig.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"
#include "vproc/OsdWriter.h"
#include "vproc/VideoMatrixWorker.h"
#include "vproc/VideoSplitWorker.h"
#include "vproc/VideoUnifyWorker.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kWorkerId = 0x04030000;

// A worker whose colour settings can be read.
template <typename Worker>
class CSettingsProbe : public Worker
{
public:
    CSettingsProbe() : Worker(kWorkerId, &NoLinks(), nullptr) {}
    int32_t ErrorColour() const { return this->m_errTextColor; }
    int32_t InfoColour() const { return this->m_infoTextColor; }
    uint16_t TextHeight() const { return this->m_statusTextHeight; }
    stColorYuv Background() const { return this->m_bgColorYuv; }
    stColorYuv ErrorYuv() const { return this->m_errColorYuv; }

private:
    static CTYXWorker::InputLinkMap &NoLinks()
    {
        static CTYXWorker::InputLinkMap links;
        return links;
    }
};

stVideoMidProcWorkerConfig ConfigOf(int32_t type)
{
    stVideoMidProcWorkerConfig config;
    config.Name = L"VmpSettings";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.MPType = type;
    config.OutputWidth = 640;
    config.OutputHeight = 360;
    if (type == TYX_MP_SPLIT) {
        config.SingleInput.VideoSource = 0x02010001;
        stSplitOutputConfig output;
        output.StreamId = static_cast<int32_t>(kWorkerId) + 1;
        output.RegionWidth = 320;
        output.RegionHeight = 180;
        output.Alias = L"Part1";
        config.SingleInput.Outputs[1] = output;
    }
    config.BuildIOItems();
    return config;
}

bool SameYuv(const stColorYuv &a, const stColorYuv &b)
{
    return a.y == b.y && a.u == b.u && a.v == b.v;
}

class MidProcSettingsTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        // Settings unlike the workers' own defaults (error 4, information 16, height 32, black).
        stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
        settings.DefaultBGC = 1;
        settings.ErrMsgColor = 5;
        settings.InfoMsgColor = 2;
        settings.MsgHeight = 48;
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }

    template <typename Worker>
    void ExpectTheSettings(int32_t type)
    {
        CSettingsProbe<Worker> worker;
        const stVideoMidProcWorkerConfig config = ConfigOf(type);
        ASSERT_EQ(worker.CopyInConfiguration(&config), 0);
        EXPECT_EQ(worker.ErrorColour(), 5);
        EXPECT_EQ(worker.InfoColour(), 2);
        EXPECT_EQ(worker.TextHeight(), 48);
        EXPECT_TRUE(SameYuv(worker.Background(), InitOsgColor(OsgColorCodeToRgb(1))));
        EXPECT_FALSE(SameYuv(worker.Background(), InitOsgColor(OsgColorCodeToRgb(0))));
        EXPECT_TRUE(SameYuv(worker.ErrorYuv(), InitOsgColor(OsgColorCodeToRgb(5))));
    }
};

TEST_F(MidProcSettingsTest, MatrixSplitAndUnifyDrawInTheConfiguredColoursAndHeight)
{
    ExpectTheSettings<CVideoMatrixWorker>(TYX_MP_MATRIX);
    ExpectTheSettings<CVideoSplitWorker>(TYX_MP_SPLIT);
    ExpectTheSettings<CVideoUnifyWorker>(TYX_MP_UNIFY);
}

} // namespace
