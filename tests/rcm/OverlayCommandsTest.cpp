#include "vproc/OverlayCommands.h"

#include "host/GlobalVars.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"
#include "vproc/RVProcWorker.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kDecoderId = 0x02010000;
constexpr uint32_t kEncoderId = 0x06010000;
constexpr uint32_t kReaderId = 0x01010000;

class CPictureWorker : public CRVProcWorker
{
public:
    CPictureWorker(uint32_t id, int32_t kind) : CRVProcWorker(id, nullptr, nullptr, kind, false, false) {}
    uint32_t WorkingFunc() override { return 0; }
};

template <typename Record>
std::shared_ptr<CPictureWorker> Register(uint32_t id, int32_t kind, const std::wstring &alias, int32_t msType = 0)
{
    auto worker = std::make_shared<CPictureWorker>(id, kind);
    auto record = std::make_shared<Record>();
    record->WorkerId = static_cast<int32_t>(id);
    record->Name = alias;
    record->Worker = worker;
    if constexpr (std::is_same_v<Record, stMediaReadWorkerInstanceInfo>)
        record->MSTYPE = msType;
    EXPECT_EQ(0, CTYXGVMS::PublishWorkerInstance(record));
    return worker;
}

stOsdRequest TextRequest(int32_t ownerKind, const std::wstring &text)
{
    stOsdRequest request;
    request.OwnerKind = ownerKind;
    request.OsdType = OSD_CONTENT_STATIC_TEXT;
    request.FontHeight = 32;
    request.TextColor = 16;
    request.Text = text;
    return request;
}

std::vector<stOsgItem> Geometries(size_t count)
{
    std::vector<stOsgItem> items(count);
    for (stOsgItem &item : items) {
        item.kind = OSG_KIND_GEOMETRY;
        stOsgGeometry geometry;
        geometry.shape = GMT_CIRCLE;
        item.record = geometry;
    }
    return items;
}

class OverlayCommandsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearOsgRegistry();
        decoder = Register<stVideoDecodeWorkerInstanceInfo>(kDecoderId, TYX_KIND_VIDEO_DECODER, L"Cam1");
        encoder = Register<stVideoEncodeWorkerInstanceInfo>(kEncoderId, TYX_KIND_VIDEO_ENCODER, L"Enc1");
    }
    void TearDown() override
    {
        ClearOsgRegistry();
        CTYXGVMS::ResetForTests();
    }
    std::shared_ptr<CPictureWorker> decoder;
    std::shared_ptr<CPictureWorker> encoder;
};

TEST_F(OverlayCommandsTest, OsdNumbersFollowTheHighestAndOwnersAreChecked)
{
    stTYXOSDConfig configured;
    configured.OwnerWorkerId = kDecoderId;
    CTYXGVMS::OSDConfigs()[7] = configured;
    EXPECT_EQ(8, AddOsd2Worker(L"cam1", TextRequest(OSD_OWNER_DECODER, L"Gate 3")));
    auto writer = decoder->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0);
    ASSERT_TRUE(writer);
    stOsdItem item;
    EXPECT_TRUE(writer->GetOsdItem(8, item));
    EXPECT_EQ(kDecoderId, CTYXGVMS::OSDConfigs().at(8).OwnerWorkerId);

    EXPECT_EQ(-1, AddOsd2Worker(L"Cam1", TextRequest(2, L"x")));
    EXPECT_EQ(-32, AddOsd2Worker(L"Nobody", TextRequest(OSD_OWNER_DECODER, L"x")));
    EXPECT_EQ(-32, AddOsd2Worker(L"Cam1", TextRequest(OSD_OWNER_ENCODER, L"x")));
    stOsdRequest badHeight = TextRequest(OSD_OWNER_DECODER, L"x");
    badHeight.FontHeight = 30;
    EXPECT_EQ(-1, AddOsd2Worker(L"Cam1", badHeight));
    EXPECT_EQ(2u, CTYXGVMS::OSDConfigs().size());

    // Only a capture-device reader draws texts.
    Register<stMediaReadWorkerInstanceInfo>(kReaderId, TYX_KIND_MEDIA_READER, L"Net1", TYX_MS_RTSP);
    EXPECT_EQ(-32, AddOsd2Worker(L"Net1", TextRequest(OSD_OWNER_DECODER, L"x")));
    auto capture =
        Register<stMediaReadWorkerInstanceInfo>(kReaderId + 0x10000, TYX_KIND_MEDIA_READER, L"Usb1", TYX_MS_VCAP);
    EXPECT_EQ(9, AddOsd2Worker(L"Usb1", TextRequest(OSD_OWNER_DECODER, L"x")));
    EXPECT_TRUE(capture->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0));
}

TEST_F(OverlayCommandsTest, EncoderOsdsAreNamedAboveTheEncoderBase)
{
    ASSERT_EQ(2049, AddOsd2Worker(L"Enc1", TextRequest(OSD_OWNER_ENCODER, L"Live")));
    ASSERT_EQ(2, AddOsd2Worker(L"Cam1", TextRequest(OSD_OWNER_DECODER, L"Cam")));
    auto encoderWriter = encoder->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0);
    ASSERT_EQ(1, encoderWriter->GetOsdCount());

    // The registry number of an encoder's OSD does not name it, and nothing is removed by it.
    EXPECT_EQ(-32, RemoveOsdFromWorker(1));
    EXPECT_EQ(1, encoderWriter->GetOsdCount());
    EXPECT_EQ(0, RemoveOsdFromWorker(2049));
    EXPECT_EQ(0, encoderWriter->GetOsdCount());
    EXPECT_EQ(0u, CTYXGVMS::OSDConfigs().count(1));
    EXPECT_EQ(-8, RemoveOsdFromWorker(2049));
    EXPECT_EQ(-8, RemoveOsdFromWorker(5));
    EXPECT_EQ(-32, RemoveOsdFromWorker(2050)) << "2050 would name the decoder's OSD 2 as an encoder's";

    EXPECT_EQ(0, RemoveOsdFromWorker(2));
    EXPECT_EQ(0, decoder->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0)->GetOsdCount());

    // The owner went away: the entry goes, the answer says so.
    ASSERT_EQ(1, AddOsd2Worker(L"Cam1", TextRequest(OSD_OWNER_DECODER, L"Cam")));
    CTYXGVMS::ResetForTests();
    CTYXGVMS::OSDConfigs()[1].OwnerWorkerId = kDecoderId;
    EXPECT_EQ(-32, RemoveOsdFromWorker(1));
}

TEST_F(OverlayCommandsTest, OsgNumbersAndItemIdsTakeTheSmallestFree)
{
    EXPECT_EQ(1, AddOsgs2Worker(L"VideoDecoders.Cam1.VideoOutput", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(2)));
    EXPECT_EQ(2, AddOsgs2Worker(L"VideoDecoders.Cam1.VideoOutput", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(1)));
    EXPECT_EQ(3, AddOsgs2Worker(L"VideoDecoders.Cam1", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(1), decoder));
    auto drawer = decoder->GetOsgDrawer(OSG_TARGET_OUTPUT, 0);
    ASSERT_TRUE(drawer);
    EXPECT_EQ(4, drawer->GetGeometryCount());
    EXPECT_EQ((std::vector<uint32_t>{1, 2}), GetOsgItemIds(1));

    EXPECT_EQ(3, RemoveOsgFromWorker(2)); // the number stays registered
    EXPECT_EQ(3, drawer->GetGeometryCount());
    // Item id 3 is free again and goes to the next OSG, number 4.
    EXPECT_EQ(4, AddOsgs2Worker(L"VideoDecoders.Cam1", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(1)));
    EXPECT_EQ((std::vector<uint32_t>{3}), GetOsgItemIds(4));
    // Removing 2 again must not take the item that now belongs to 4.
    EXPECT_EQ(4, RemoveOsgFromWorker(2));
    EXPECT_EQ(4, drawer->GetGeometryCount());

    EXPECT_EQ(-2, RemoveOsgFromWorker(9));
    ClearOsgRegistry();
    EXPECT_EQ(-1, RemoveOsgFromWorker(1));
}

TEST_F(OverlayCommandsTest, OsgArgumentsAndTargetsAreChecked)
{
    const std::wstring reference = L"VideoDecoders.Cam1.VideoOutput";
    EXPECT_EQ(-1, AddOsgs2Worker(reference, OSG_TARGET_OUTPUT, 3, Geometries(1)));
    EXPECT_EQ(-1, AddOsgs2Worker(reference, OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, {}));
    EXPECT_EQ(-1, AddOsgs2Worker(reference, OSG_TARGET_OUTPUT, OSG_KIND_PICTURE, Geometries(1)));
    EXPECT_LT(AddOsgs2Worker(L"", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(1)), 0);
    EXPECT_LE(AddOsgs2Worker(L"VideoDecoders.Nobody", OSG_TARGET_OUTPUT, OSG_KIND_GEOMETRY, Geometries(1)), 0);
    EXPECT_EQ(-1, AddOsgs2Worker(reference, 64, OSG_KIND_GEOMETRY, Geometries(1))); // no such slot
    EXPECT_EQ(0, GetRegisteredOsgCount());
}

TEST_F(OverlayCommandsTest, ConfiguredOsgsGoOnlyWhereTheWorkerKindDrawsThem)
{
    auto circle = [](const std::wstring &role) {
        stTYXOSGConfig config;
        config.DrawOn = L"VideoDecoders.Cam1." + role;
        config.Alias = L"cam1";
        config.Role = role;
        config.OSGType = L"Geometry";
        config.GmtType = L"LINEAR";
        config.Parameters = {{L"K", L"2"}, {L"B", L"1"}};
        return config;
    };
    OsgConfigRegistry configs;
    configs[1] = circle(L"VideoOutput");
    configs[2] = circle(L"VideoInput"); // decoders do not draw on their input
    configs[3] = circle(L"VideoOutput");
    configs[3].GmtType = L"NOSUCHSHAPE"; // fails to convert: not counted
    configs[4] = circle(L"VideoOutput");
    configs[4].Alias = L"Other";
    EXPECT_EQ(2, AddCfgOsgs2Worker(configs, L"Cam1", decoder, TYX_KIND_VIDEO_DECODER));
    EXPECT_EQ(1, GetRegisteredOsgCount());
    EXPECT_EQ(1, decoder->GetOsgDrawer(OSG_TARGET_OUTPUT, 0)->GetGeometryCount());
    // A writer kind draws nothing.
    EXPECT_EQ(2, AddCfgOsgs2Worker(configs, L"Cam1", decoder, TYX_KIND_MEDIA_WRITER));
    EXPECT_EQ(1, GetRegisteredOsgCount());
}

TEST_F(OverlayCommandsTest, WorkersAreFoundByKindAndAlias)
{
    std::shared_ptr<CTYXWorker> found;
    stTYXWorkerReference reference;
    reference.SectionKind = TYX_KIND_VIDEO_DECODER;
    reference.Alias = L"CAM1";
    EXPECT_EQ(static_cast<int32_t>(kDecoderId), FindWorkerByKindAndAlias(reference, found));
    EXPECT_EQ(decoder, found);
    reference.SectionKind = TYX_KIND_VIDEO_ENCODER;
    EXPECT_EQ(0, FindWorkerByKindAndAlias(reference, found));
    EXPECT_FALSE(found);
    reference.SectionKind = 3;
    reference.Alias = L"Enc1";
    EXPECT_EQ(0, FindWorkerByKindAndAlias(reference, found));
}

// Show, hide, retext and remove reach an OSD by the same number, whichever kind of worker draws it.
TEST_F(OverlayCommandsTest, OneNumberNamesOneOsdInEveryCommand)
{
    auto mux = Register<stVideoMidProcessWorkerInstanceInfo>(0x04010000, TYX_KIND_VIDEO_MIDPROC, L"Mux1");
    auto writer = std::make_shared<COsdWriter>();
    stTYXOSDConfig configured;
    configured.OsdType = OSD_CONTENT_STATIC_TEXT;
    configured.TextHeight = 32;
    configured.Content = L"Sample";
    configured.PosBase = OSD_POS_LEFT_TOP;
    configured.TextColor = 16;
    configured.OwnerWorkerId = 0x04010000;
    configured.DrawTarget = static_cast<uint8_t>(TYX_OVERLAY_OUTPUT);
    CTYXGVMS::OSDConfigs()[3] = configured;
    ASSERT_GE(writer->CreateFont(3, configured), 1);
    mux->SetOsdWriter(writer, TYX_OVERLAY_OUTPUT, 0);
    ASSERT_EQ(0, writer->SetFrameSize(640, 360, 640, 320));
    const int32_t encoderOsd = AddOsd2Worker(L"Enc1", TextRequest(OSD_OWNER_ENCODER, L"Live"));
    ASSERT_EQ(2052, encoderOsd);
    auto encoderWriter = encoder->GetOsdWriter(TYX_OVERLAY_OUTPUT, 0);

    stOsdItem item;
    EXPECT_EQ(0, SetOsdVisibleByNumber(3, false));
    ASSERT_TRUE(writer->GetOsdItem(3, item));
    EXPECT_FALSE(item.visible);
    EXPECT_EQ(0, SetOsdVisibleByNumber(3, true));
    ASSERT_TRUE(writer->GetOsdItem(3, item));
    EXPECT_TRUE(item.visible);
    EXPECT_EQ(0, SetOsdTextOfNumber(3, L"Changed"));
    ASSERT_TRUE(writer->GetOsdItem(3, item));
    EXPECT_EQ(item.text, L"Changed");

    // The encoder's OSD answers to 2052 in every command, its text included.
    EXPECT_EQ(0, SetOsdTextOfNumber(2052, L"On air"));
    EXPECT_EQ(0, SetOsdVisibleByNumber(2052, false));
    ASSERT_TRUE(encoderWriter->GetOsdItem(4, item));
    EXPECT_FALSE(item.visible);
    EXPECT_EQ(-32, SetOsdVisibleByNumber(4, true));
    EXPECT_EQ(-32, SetOsdTextOfNumber(4, L"x"));
    EXPECT_EQ(-32, SetOsdTextOfNumber(3073, L"x"));
    EXPECT_EQ(-8, SetOsdTextOfNumber(7, L"x"));

    // A text the writer does not take is a failure, and the old text stays.
    EXPECT_LT(SetOsdTextOfNumber(3, std::wstring(65, L'x')), 0);
    EXPECT_LT(SetOsdTextOfNumber(3, L""), 0);
    ASSERT_TRUE(writer->GetOsdItem(3, item));
    EXPECT_EQ(item.text, L"Changed");

    EXPECT_EQ(0, RemoveOsdFromWorker(3));
    EXPECT_FALSE(writer->GetOsdItem(3, item));
    EXPECT_EQ(-8, SetOsdVisibleByNumber(3, true));
}

} // namespace
