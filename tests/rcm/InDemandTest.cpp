#include "rcm/InDemandChanges.h"

#include "host/GlobalVars.h"
#include "vproc/OsdWriter.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"
#include "vproc/VideoMuxWorker.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kReaderId = 0x01010000;
constexpr uint32_t kDecoderId = 0x02010000;
constexpr uint32_t kSecondDecoderId = 0x02020000;
constexpr uint32_t kMuxId = 0x04010000;

class CPictureWorker : public CRVProcWorker
{
public:
    CPictureWorker(uint32_t id, int32_t kind, const std::wstring &name)
        : CRVProcWorker(id, nullptr, nullptr, kind, false, false)
    {
        m_name = name;
    }
    uint32_t WorkingFunc() override { return 0; }
};

template <typename Record>
std::shared_ptr<CPictureWorker> Register(uint32_t id, int32_t kind, const std::wstring &alias)
{
    auto worker = std::make_shared<CPictureWorker>(id, kind, alias);
    auto record = std::make_shared<Record>();
    record->WorkerId = static_cast<int32_t>(id);
    record->Name = alias;
    record->Worker = worker;
    EXPECT_EQ(0, CTYXGVMS::PublishWorkerInstance(record));
    return worker;
}

void Link(uint32_t producer, uint32_t consumer)
{
    stWorkerLink link;
    EXPECT_GE(CTYXGVMS::AddConsumerLink(producer + 1, static_cast<int32_t>(consumer), link), 1);
}

class InDemandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearOsgRegistry();
    }
    void TearDown() override { CTYXGVMS::ResetForTests(); }
};

TEST_F(InDemandTest, SourcesInUseStayAndFreeOnesGoWithAllTheirDecoders)
{
    Register<stMediaReadWorkerInstanceInfo>(kReaderId, TYX_KIND_MEDIA_READER, L"Cam1");
    Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
    Register<stVideoDecodeWorkerInstanceInfo>(kSecondDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1.Second");
    Link(kReaderId, kDecoderId);
    Link(kReaderId, kSecondDecoderId);
    Link(kSecondDecoderId, kMuxId); // the second decoder feeds the mux

    uint32_t id = 0;
    std::wstring alias = L"cam1";
    EXPECT_EQ(IND_SOURCE_IN_USE, RemoveMediaSource(id, alias));
    EXPECT_EQ(kReaderId, id);
    std::shared_ptr<CTYXWorker> worker;
    EXPECT_GT(CTYXGVMS::FindMReaderByAlias(L"Cam1", worker), 0);
    EXPECT_TRUE(CTYXGVMS::GetDecoderById(kSecondDecoderId, alias));

    CTYXGVMS::RemoveConsumerLinks(kSecondDecoderId + 1, kMuxId);
    id = kReaderId;
    alias.clear();
    EXPECT_EQ(0, RemoveMediaSource(id, alias));
    EXPECT_EQ(L"Cam1", alias);
    EXPECT_TRUE(CTYXGVMS::CopyMReaderMap().empty());
    EXPECT_TRUE(CTYXGVMS::CopyDecoderMap().empty());
    std::vector<uint32_t> linked;
    EXPECT_EQ(0, CTYXGVMS::GetProducersOfConsumer(kReaderId, linked));

    EXPECT_EQ(IND_SOURCE_NOT_FOUND, RemoveMediaSource(id, alias));
    id = 0;
    alias = L"Nobody";
    EXPECT_EQ(IND_SOURCE_NOT_FOUND, RemoveMediaSource(id, alias));
}

TEST_F(InDemandTest, AReaderFeedingAMuxItselfIsRefused)
{
    Register<stMediaReadWorkerInstanceInfo>(kReaderId, TYX_KIND_MEDIA_READER, L"Usb1");
    Link(kReaderId, kMuxId);
    uint32_t id = kReaderId;
    std::wstring alias;
    EXPECT_EQ(IND_SOURCE_IN_USE, RemoveMediaSource(id, alias));
    EXPECT_FALSE(CTYXGVMS::CopyMReaderMap().empty());
}

TEST_F(InDemandTest, OsdTextsChangeByNumber)
{
    auto decoder = Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
    stOsdRequest request;
    request.OsdType = 8; // dynamic text
    request.FontHeight = 32;
    const int32_t number = AddOsd2Worker(L"Cam1", request);
    ASSERT_EQ(1, number);
    EXPECT_EQ(0, SetOsdTextByNumber(1, L"Gate closed"));
    stOsdItem item;
    ASSERT_TRUE(decoder->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0)->GetOsdItem(1, item));
    EXPECT_GT(item.textWidth + static_cast<int32_t>(item.pendingText.size()), 0);
    EXPECT_EQ(IND_NO_SUCH_OSD, SetOsdTextByNumber(5, L"x"));
    CTYXGVMS::OSDConfigs()[5].OwnerWorkerId = kMuxId;
    EXPECT_EQ(IND_NO_OSD_OWNER, SetOsdTextByNumber(5, L"x"));
}

TEST_F(InDemandTest, DirectDisplaysTakeAndFreeTheirMonitor)
{
    Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
    Register<stVideoDecodeWorkerInstanceInfo>(kSecondDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam2");
    EXPECT_EQ(0, StartDirectOutput(L"VideoDecoders.Cam1", 2));
    EXPECT_EQ(L"Cam1", CTYXGVMS::MonitorAliases().at(2));
    EXPECT_EQ(IND_MONITOR_IN_USE, StartDirectOutput(L"VideoDecoders.Cam2", 2));
    EXPECT_EQ(IND_WORKER_NOT_FOUND, StartDirectOutput(L"VideoDecoders.Cam2", 9));
    EXPECT_EQ(IND_WORKER_NOT_FOUND, StartDirectOutput(L"VideoDecoders.Nobody", 3));
    EXPECT_LT(StartDirectOutput(L"", 3), 0);
    EXPECT_EQ(0, StopDirectOutput(L"VideoDecoders.cam1"));
    EXPECT_EQ(0u, CTYXGVMS::MonitorAliases().count(2));
    EXPECT_EQ(0, StartDirectOutput(L"VideoDecoders.Cam2", 2));
    EXPECT_EQ(IND_WORKER_NOT_FOUND, StopDirectOutput(L"VideoDecoders.Nobody"));
}

TEST_F(InDemandTest, MuxLayoutListsAreReadWithBoundedWindows)
{
    std::list<std::wstring> aliases;
    std::vector<stPipWindowInfo> windows;
    EXPECT_EQ(2, ParseMuxLayoutLists(L"a;b;", L"1:2:3:4:5:6;1:2:3:4:5;7:8:-9:10:99999999:12:13", aliases, windows));
    EXPECT_EQ((std::list<std::wstring>{L"a", L"b"}), aliases);
    ASSERT_EQ(2u, windows.size());
    EXPECT_EQ(6, windows[0].height);
    EXPECT_EQ(0, windows[1].x);
    EXPECT_EQ(65535, windows[1].width); // bounded to its field
    EXPECT_EQ(1, ParseMuxLayoutLists(L"only", L"1:2:3:4:5:6", aliases, windows));
    EXPECT_TRUE(windows.empty());
    EXPECT_EQ(3, ParseMuxLayoutLists(L";a;;b;c", L"", aliases, windows));
    EXPECT_EQ(0, ParseMuxLayoutLists(L"", L"", aliases, windows));
}

TEST_F(InDemandTest, SourcesFeedTheMuxThroughTheirDecoderOrThemselves)
{
    auto capture = std::make_shared<stMediaReadWorkerInstanceInfo>();
    capture->WorkerId = static_cast<int32_t>(kReaderId + 0x10000);
    capture->Name = L"Usb1";
    capture->MSTYPE = TYX_MS_VCAP;
    capture->Worker = std::make_shared<CPictureWorker>(kReaderId + 0x10000, TYX_KIND_MEDIA_READER, L"Usb1");
    ASSERT_EQ(0, CTYXGVMS::PublishWorkerInstance(capture));
    Register<stMediaReadWorkerInstanceInfo>(kReaderId, TYX_KIND_MEDIA_READER, L"Cam1");
    auto decoder = Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");

    uint32_t input = 0;
    std::shared_ptr<CTYXWorker> producer;
    EXPECT_EQ(IND_NO_OBJECT, FindSourceInputId(L"Cam1", input, producer)); // not linked yet
    Link(kReaderId, kDecoderId);
    EXPECT_EQ(0, FindSourceInputId(L"cam1", input, producer));
    EXPECT_EQ(kDecoderId + 1, input); // the decoder's single output
    EXPECT_EQ(decoder, producer);
    EXPECT_EQ(0, FindSourceInputId(L"Usb1", input, producer));
    EXPECT_EQ(kReaderId + 0x10000 + 1, input);
    EXPECT_EQ(IND_SOURCE_NOT_FOUND, FindSourceInputId(L"Nobody", input, producer));

    std::map<int32_t, int16_t> regions;
    EXPECT_EQ(-1, BuildMuxLayoutRegions(7, {L"Cam1", L"Usb1"}, regions));
    EXPECT_EQ(IND_TOO_FEW_SOURCES, BuildMuxLayoutRegions(4, {L"Cam1", L"Usb1", L"Nobody"}, regions));
    EXPECT_EQ(2, BuildMuxLayoutRegions(2, {L"Usb1", L"Cam1"}, regions));
    ASSERT_EQ(2u, regions.size());
    // In the order listed, in the mux's window numbers (from 1).
    EXPECT_EQ(1, regions.at(static_cast<int32_t>(kReaderId + 0x10000 + 1)));
    EXPECT_EQ(2, regions.at(static_cast<int32_t>(kDecoderId + 1)));
}

TEST_F(InDemandTest, SourcesJoinAndLeaveTheMuxWithTheirLinks)
{
    Register<stMediaReadWorkerInstanceInfo>(kReaderId, TYX_KIND_MEDIA_READER, L"Cam1");
    auto decoder = Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
    Link(kReaderId, kDecoderId);
    EXPECT_EQ(IND_NO_OBJECT, AddVSToMux(L"Cam1", L"", 1));
    EXPECT_EQ(IND_NO_OBJECT, RemoveVSFromMux(L"Cam1", L""));

    auto mux = std::make_shared<CVideoMuxWorker>(kMuxId, nullptr, nullptr);
    ASSERT_GE(mux->SetMuxLayout(4, {}, nullptr, 1, 9), 0);
    auto record = std::make_shared<stVideoMidProcessWorkerInstanceInfo>();
    record->WorkerId = static_cast<int32_t>(kMuxId);
    record->Name = L"Mux1";
    record->MPType = TYX_MP_MUX;
    record->Worker = mux;
    ASSERT_EQ(0, CTYXGVMS::PublishWorkerInstance(record));
    const uint32_t input = kDecoderId + 1;

    EXPECT_EQ(IND_REGION_OUTSIDE_LAYOUT, AddVSToMux(L"Cam1", L"mux1", 5));
    EXPECT_FALSE(mux->GetInputLink(input).has_value()); // nothing half-joined
    EXPECT_EQ(IND_NO_OBJECT, AddVSToMux(L"Cam1", L"OtherMux", 1));
    EXPECT_EQ(IND_SOURCE_NOT_FOUND, AddVSToMux(L"Nobody", L"", 1));
    EXPECT_EQ(0, AddVSToMux(L"Cam1", L"", 0)); // joins without a window
    EXPECT_TRUE(mux->GetInputLink(input).has_value());
    EXPECT_EQ(1, decoder->FindConsumerLink(kMuxId));
    EXPECT_EQ(0, AddVSToMux(L"Cam1", L"Mux1", 0)); // already an input: joins once

    EXPECT_EQ(IND_SOURCE_NOT_FOUND, RemoveVSFromMux(L"Cam1", L"cam1"));
    EXPECT_EQ(IND_SOURCE_NOT_FOUND, RemoveVSFromMux(L"", L""));
    EXPECT_EQ(0, RemoveVSFromMux(L"Cam1", L""));
    EXPECT_FALSE(mux->GetInputLink(input).has_value());
    EXPECT_EQ(0, decoder->FindConsumerLink(kMuxId));
    std::vector<uint32_t> linked;
    CTYXGVMS::GetProducersOfConsumer(kMuxId, linked);
    EXPECT_TRUE(linked.empty());
    EXPECT_EQ(-26, RemoveVSFromMux(L"Cam1", L"")); // no longer an input

    EXPECT_EQ(-1, ChangeMuxLayoutOnDemand(7, L"Cam1;", L""));
    EXPECT_EQ(IND_TOO_FEW_SOURCES, ChangeMuxLayoutOnDemand(2, L"Cam1;Nobody;", L""));
}

TEST_F(InDemandTest, OnlyRecordingWritersHaveARecordSubPath)
{
    auto decoder = Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
    std::wstring subPath = L"old";
    std::string list;
    std::tm date{};
    EXPECT_FALSE(GetRecordSubPath(decoder, date, subPath, list));
    EXPECT_TRUE(subPath.empty());
    EXPECT_EQ("RecordFileList.txt", list);
}

} // namespace
