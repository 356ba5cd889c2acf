#include "service/ConsoleStatusScreen.h"

#include "core/FramePackage.h"
#include "core/WideFormat.h"
#include "host/GlobalVars.h"
#include "service/ConsoleOutput.h"
#include "support/PseudoTerminal.h"
#include "support/TempDir.h"
#include "support/VtScreen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr uint32_t READER = 0x01010000;
constexpr uint32_t DECODER = 0x02010000;
constexpr uint32_t MUX = 0x04010000;
constexpr uint32_t WRITER = 0x10010004;

// A worker whose statistics the test sets.
class CCountingWorker : public CTYXWorker
{
public:
    CCountingWorker(uint32_t id, int32_t kind) : CTYXWorker(id, nullptr, nullptr, kind, false, false) {}
    uint32_t WorkingFunc() override { return 0; }

    void Set(bool input, uint32_t stream, int64_t count, int32_t state = TYX_STATUS_RUNNING)
    {
        UpdateStatistics(input, stream, [&](stStreamStatistics &entry) {
            (input ? entry.dataPacketsIn : entry.dataPacketsOut) = count;
            entry.state = state;
        });
    }
};

stTYXWorkerItemInfo Item(uint32_t id, int32_t kind, int16_t number = 0)
{
    stTYXWorkerItemInfo item;
    item.Id = static_cast<int32_t>(id);
    item.Kind = kind;
    item.No = number;
    return item;
}

class StatusScreenTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        CTYXGVMS::LoadSeqCounter() = 4;
        CTYXGVMS::VmpLevelCount() = 1;
        reader = Add(CTYXGVMS::MReaderInstances(), readerConfig, READER, L"Camera1", 1, TYX_KIND_MEDIA_READER, {},
                     {Item(READER + 1, TYX_PKT_KIND_CODED_VIDEO, 1), Item(READER + 2, TYX_PKT_KIND_CODED_AUDIO, 2)});
        decoder = Add(CTYXGVMS::DecoderInstances(), decoderConfig, DECODER, L"Decoder1", 2, TYX_KIND_VIDEO_DECODER,
                      {Item(READER + 1, TYX_PKT_KIND_CODED_VIDEO)}, {Item(DECODER + 1, TYX_PKT_KIND_RAW_VIDEO, 1)});
        mux = Add(CTYXGVMS::VMPInstances(), muxConfig, MUX, L"MuxWithLongName", 3, TYX_KIND_VIDEO_MIDPROC,
                  {Item(DECODER + 1, TYX_PKT_KIND_RAW_VIDEO), Item(0x02020001, TYX_PKT_KIND_RAW_VIDEO),
                   Item(0x02030001, TYX_PKT_KIND_RAW_VIDEO)},
                  {Item(MUX + 1, TYX_PKT_KIND_RAW_VIDEO, 1)});
        writer = Add(CTYXGVMS::MWriterInstances(), writerConfig, WRITER, L"Recorder", 4, TYX_KIND_MEDIA_WRITER,
                     {Item(MUX + 1, TYX_PKT_KIND_RAW_VIDEO), Item(READER + 2, TYX_PKT_KIND_CODED_AUDIO)}, {});
        CTYXGVMS::LinkRegistry()[READER + 1][DECODER] = stWorkerConsumerLink();
        reader->Set(false, READER + 1, 1500);
        reader->Set(false, READER + 2, 700);
        decoder->Set(true, READER + 1, 1498);
        decoder->Set(false, DECODER + 1, 1490);
        mux->Set(true, DECODER + 1, 1480);
        mux->Set(true, 0x02020001, 0, TYX_STATUS_HUNGRY);
        mux->Set(true, 0x02030001, 0, 0x1300);
        mux->Set(false, MUX + 1, 1470);
        writer->Set(true, MUX + 1, 1460);
        writer->Set(true, READER + 2, 690, TYX_STATUS_SYNCHRONIZING);
    }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    template <typename Record, typename Config>
    std::shared_ptr<CCountingWorker> Add(WorkerInstanceRegistry<Record> &registry, Config &config, uint32_t id,
                                         const std::wstring &name, int16_t column, int32_t kind,
                                         std::vector<stTYXWorkerItemInfo> inputs,
                                         std::vector<stTYXWorkerItemInfo> outputs)
    {
        config.WorkerId = static_cast<int32_t>(id);
        config.LoadSeq = column;
        config.InputItems = std::move(inputs);
        config.OutputItems = std::move(outputs);
        auto worker = std::make_shared<CCountingWorker>(id, kind);
        auto record = std::make_shared<Record>();
        record->WorkerId = static_cast<int32_t>(id);
        record->Name = name;
        record->Config = config.Clone();
        record->Worker = worker;
        registry[id] = record;
        return worker;
    }

    const stStatusScreenRow &Row(uint32_t id)
    {
        rows = screen.Rows();
        for (const stStatusScreenRow &row : rows) {
            if (row.workerId == id)
                return row;
        }
        throw std::runtime_error("no row");
    }

    // Every cell of the screen holds the count (or state word) its worker reports now.
    void ExpectCellsMatchWorkers(const CVtScreen &vt)
    {
        for (const stStatusScreenRow &row : screen.Rows()) {
            const auto worker = row.worker.lock();
            ASSERT_TRUE(worker);
            for (const bool input : {true, false}) {
                const StreamStatisticsMap stats = input ? worker->GetInputStatistics(0) : worker->GetOutputStatistics(0);
                for (const auto &[id, cell] : input ? row.inputs : row.outputs) {
                    const stStreamStatistics &s = stats.at(id);
                    const std::wstring shown = vt.Text(row.x + cell.valueDx,
                                                       CConsoleStatusScreen::ORIGIN_Y + row.y + cell.valueDy, 10);
                    const std::wstring expected =
                        s.state == 0 ? FormatWide(L"%10lld", static_cast<long long>(input ? s.dataPacketsIn : s.dataPacketsOut))
                                     : FormatWide(L"%10s", StatusStateWord(s.state).c_str());
                    EXPECT_EQ(shown, expected) << std::hex << row.workerId << " stream " << id;
                }
            }
        }
    }

    CConsoleStatusScreen screen{stProgramVersion{1, 2, 3, 4}};
    stMediaSourceReadWorkerConfig readerConfig;
    stVideoDecodeWorkerConfig decoderConfig;
    stVideoMidProcWorkerConfig muxConfig;
    stMediaWriteWorkerConfig writerConfig;
    std::shared_ptr<CCountingWorker> reader, decoder, mux, writer;
    std::vector<stStatusScreenRow> rows;
};

TEST_F(StatusScreenTest, BoxesTakeTheirColumnsAndHeightsFromTheStreams)
{
    ASSERT_EQ(screen.BuildStatusScreenTable(), 0);
    EXPECT_EQ(Row(READER).x, 2);
    EXPECT_EQ(Row(READER).y, 1);
    const stStatusScreenRow &decoderRow = Row(DECODER);
    EXPECT_EQ(decoderRow.x, 31);
    EXPECT_EQ(decoderRow.height, 4);
    EXPECT_FALSE(decoderRow.inputs.begin()->second.labelled);
    EXPECT_FALSE(decoderRow.outputs.begin()->second.labelled);
    EXPECT_EQ(decoderRow.outputs.begin()->second.consumers.size(), 0u);
    EXPECT_EQ(Row(READER).outputs.at(READER + 1).consumers, std::vector<uint32_t>{DECODER});
    const stStatusScreenRow &muxRow = Row(MUX);
    EXPECT_EQ(muxRow.height, 13);
    for (const auto &[id, cell] : muxRow.inputs)
        EXPECT_TRUE(cell.labelled) << id;
    EXPECT_FALSE(muxRow.outputs.begin()->second.labelled);
    EXPECT_EQ(muxRow.outputs.begin()->second.dx, 14);
}

TEST_F(StatusScreenTest, ATerminalShowsEveryWorkersCountsInItsCells)
{
    CPseudoTerminal pty(140, 40);
    CConsoleOutput console(pty.Slave());
    ASSERT_TRUE(console.IsTerminal());
    ASSERT_EQ(screen.BuildStatusScreenTable(), 0);
    ASSERT_EQ(screen.DrawStatusScreen(console), 0);
    reader->Set(false, READER + 1, 98765);
    mux->Set(true, DECODER + 1, 1481, TYX_STATUS_BLOCKING);
    ASSERT_EQ(screen.RefreshStatusScreen(console), 0);
    CVtScreen vt(140, 40);
    vt.Feed(pty.Finish());
    EXPECT_EQ(vt.Overflows(), 0);
    EXPECT_EQ(vt.UnknownSequences(), 0);
    EXPECT_NE(vt.Row(2).find(L"Kestro Lumo(V 1.2.3.4)"), std::wstring::npos);
    EXPECT_NE(vt.Row(4).find(L"MReaders"), std::wstring::npos);
    EXPECT_NE(vt.Row(4).find(L"MWriters"), std::wstring::npos);
    ExpectCellsMatchWorkers(vt);
    EXPECT_EQ(vt.Text(Row(READER).x + 15, CConsoleStatusScreen::ORIGIN_Y + Row(READER).y + 4, 10), L"     98765");

    // A name of 15 characters shows 13 and "~"; a name of 14 or fewer shows whole.
    EXPECT_NE(vt.Find(L"MuxWithLongNa~[4010000]").first, -1);
    EXPECT_NE(vt.Find(L"Camera1[1010000]").first, -1);
    // The mux box: labels on its three inputs, box characters joined at the divider.
    const stStatusScreenRow &muxRow = Row(MUX);
    const int top = CConsoleStatusScreen::ORIGIN_Y + muxRow.y;
    EXPECT_EQ(vt.Text(muxRow.x, top, 26), L"┌────────────────────────┐");
    EXPECT_EQ(vt.Text(muxRow.x, top + 2, 26), L"├────────────┬───────────┤");
    EXPECT_EQ(vt.Text(muxRow.x, top + muxRow.height, 26), L"└────────────┴───────────┘");
    EXPECT_NE(vt.Text(muxRow.x, top + 3, 14).find(L"V[2010001]"), std::wstring::npos);
    EXPECT_EQ(vt.At(muxRow.x + 4, top + 3).colour, 32); // label "V" in green

    // A Hungry stream in yellow; an unknown state as blanks in the stream's colour.
    const stStatusScreenCell &hungry = muxRow.inputs.at(0x02020001);
    EXPECT_EQ(vt.At(muxRow.x + hungry.valueDx + 9, top + hungry.valueDy).colour, 93);
    const stStatusScreenCell &unknown = muxRow.inputs.at(0x02030001);
    EXPECT_EQ(vt.Text(muxRow.x + unknown.valueDx, top + unknown.valueDy, 10), std::wstring(10, L' '));
    EXPECT_EQ(vt.At(muxRow.x + unknown.valueDx, top + unknown.valueDy).colour, 92);
}

TEST_F(StatusScreenTest, ANarrowTerminalShowsTheLeftPartWithoutWrapping)
{
    CPseudoTerminal pty(40, 20);
    CConsoleOutput console(pty.Slave());
    screen.BuildStatusScreenTable();
    ASSERT_EQ(screen.DrawStatusScreen(console), 0);
    ASSERT_EQ(screen.RefreshStatusScreen(console), 0);
    CVtScreen vt(40, 20);
    vt.Feed(pty.Finish());
    EXPECT_EQ(vt.Overflows(), 0);
    EXPECT_EQ(vt.Row(1), L"┌" + std::wstring(39, L'─'));
    const int top = CConsoleStatusScreen::ORIGIN_Y + Row(READER).y;
    EXPECT_EQ(vt.Text(2, top, 26), L"┌────────────────────────┐");
    EXPECT_EQ(vt.Text(31, top, 9), L"┌────────"); // the decoder's box, cut at the margin
}

TEST_F(StatusScreenTest, AResizedTerminalIsDrawnAgainToItsNewSize)
{
    CPseudoTerminal pty(140, 40);
    CConsoleOutput console(pty.Slave());
    screen.BuildStatusScreenTable();
    screen.DrawStatusScreen(console);
    pty.Resize(50, 30);
    ASSERT_EQ(screen.RefreshStatusScreen(console), 0);
    const std::string output = pty.Finish();
    const size_t redraw = output.rfind("\x1b[2J");
    ASSERT_NE(redraw, std::string::npos);
    ASSERT_GT(redraw, 0u);
    CVtScreen vt(140, 40);
    vt.Feed(output.substr(redraw));
    for (int y = 0; y < 40; ++y)
        EXPECT_LE(vt.Row(y).size(), 50u) << y;
}

TEST_F(StatusScreenTest, ARemovedWorkersBoxKeepsItsLastValues)
{
    CPseudoTerminal pty(140, 40);
    CConsoleOutput console(pty.Slave());
    screen.BuildStatusScreenTable();
    screen.DrawStatusScreen(console);
    CTYXGVMS::DecoderInstances().clear();
    decoder.reset(); // the last owner: the worker is gone
    reader->Set(false, READER + 1, 2000);
    ASSERT_EQ(screen.RefreshStatusScreen(console), 0);
    CVtScreen vt(140, 40);
    vt.Feed(pty.Finish());
    const stStatusScreenRow &decoderRow = Row(DECODER);
    const stStatusScreenCell &cell = decoderRow.outputs.begin()->second;
    EXPECT_EQ(vt.Text(decoderRow.x + cell.valueDx, CConsoleStatusScreen::ORIGIN_Y + decoderRow.y + cell.valueDy, 10),
              L"      1490");
}

TEST_F(StatusScreenTest, AFileGetsPlainPeriodicLinesWithoutEscapes)
{
    CTempDir dir;
    const int fd = open(dir.File("journal").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    CConsoleStatusScreen plain(stProgramVersion{1, 2, 3, 4}, [&] { return now; });
    plain.SetPlainPeriod(std::chrono::seconds(30));
    CConsoleOutput console(fd);
    EXPECT_FALSE(console.IsTerminal());
    plain.BuildStatusScreenTable();
    EXPECT_EQ(plain.DrawStatusScreen(console), 0);
    now += std::chrono::seconds(29);
    EXPECT_EQ(plain.RefreshStatusScreen(console), 0); // not yet due
    reader->Set(false, READER + 1, 4242);
    now += std::chrono::seconds(1);
    EXPECT_EQ(plain.RefreshStatusScreen(console), 0);
    close(fd);
    const std::string text = [&] {
        std::FILE *file = std::fopen(dir.File("journal").c_str(), "r");
        std::string all;
        for (int c; (c = std::fgetc(file)) != EOF;)
            all += static_cast<char>(c);
        std::fclose(file);
        return all;
    }();
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.rfind("Kestro Lumo(V 1.2.3.4)\n", 0), 0u);
    EXPECT_NE(text.find("[Status] Camera1[1010000] out: V[1010001] 1500, A[1010002] 700\n"), std::string::npos);
    EXPECT_NE(text.find("[Status] Camera1[1010000] out: V[1010001] 4242"), std::string::npos);
    EXPECT_NE(text.find("[Status] MuxWithLongName[4010000] in: V[2010001] 1480, V[2020001] Hungry"), std::string::npos);
    // Two rounds: the one when drawn and the one 30 s later.
    size_t rounds = 0;
    for (size_t at = text.find("[Status] Camera1"); at != std::string::npos; at = text.find("[Status] Camera1", at + 1))
        ++rounds;
    EXPECT_EQ(rounds, 2u);
}

TEST_F(StatusScreenTest, StateCellsAndUnusableConsoles)
{
    CPseudoTerminal pty(40, 5);
    CConsoleOutput console(pty.Slave());
    CConsoleStatusScreen::DrawWorkerStateCell(console, TYX_ATTR_LIGHT_GREEN, 0, TYX_STATUS_OPEN_FAILED);
    CConsoleStatusScreen::DrawWorkerStateCell(console, TYX_ATTR_LIGHT_GREEN, 123, TYX_STATUS_RUNNING);
    CConsoleStatusScreen::DrawWorkerStateCell(console, TYX_ATTR_LIGHT_GREEN, 0, TYX_STATUS_ESTIMATING);
    CVtScreen vt(40, 5);
    vt.Feed(pty.Finish());
    EXPECT_EQ(vt.Row(0), L"OpenFailed       123Estimating");
    EXPECT_EQ(vt.At(0, 0).colour, 91);
    EXPECT_EQ(vt.At(19, 0).colour, 92);
    EXPECT_EQ(vt.At(20, 0).colour, 94);

    CConsoleOutput closed(-1);
    EXPECT_EQ(screen.DrawStatusScreen(closed), 255);
    EXPECT_EQ(screen.RefreshStatusScreen(closed), 255);
}

} // namespace
