// The console status screen: the table of workers and streams and its drawing.

#include "service/ConsoleStatusScreen.h"

#include "core/FramePackage.h"
#include "core/TYXUtils.h"
#include "core/WideFormat.h"
#include "host/GlobalVars.h"
#include "service/ConsoleOutput.h"
#include "service/ScreenFrame.h"

#include <algorithm>

namespace {

constexpr int32_t BOX_WIDTH = 26;
constexpr int32_t COLUMN_PITCH = 29;
constexpr int32_t OUTPUT_DX = 14;
constexpr int32_t DIVIDER_X = 13;
constexpr int32_t VALUE_CELLS = 10;
constexpr int32_t NAME_CELLS = 14;

// Line ends of a box cell, combined into the box character that joins them.
enum : uint8_t { UP = 1, DOWN = 2, LEFT = 4, RIGHT = 8 };

wchar_t BoxCharacter(uint8_t ends)
{
    switch (ends) {
    case 0: return L' ';
    case UP | DOWN: return L'│';
    case LEFT | RIGHT: return L'─';
    case DOWN | RIGHT: return L'┌';
    case DOWN | LEFT: return L'┐';
    case UP | RIGHT: return L'└';
    case UP | LEFT: return L'┘';
    case UP | DOWN | RIGHT: return L'├';
    case UP | DOWN | LEFT: return L'┤';
    case LEFT | RIGHT | DOWN: return L'┬';
    case LEFT | RIGHT | UP: return L'┴';
    case UP | DOWN | LEFT | RIGHT: return L'┼';
    default: return (ends & (LEFT | RIGHT)) ? L'─' : L'│';
    }
}

// The lines of one box, drawn as line segments whose meeting points become joints.
class CBoxGrid
{
public:
    CBoxGrid(int32_t width, int32_t height) : m_width(width), m_height(height), m_ends(width * height, 0) {}

    void Horizontal(int32_t y, int32_t x0, int32_t x1)
    {
        if (y < 0 || y >= m_height)
            return;
        for (int32_t x = x0; x < x1; ++x) {
            At(x, y) |= RIGHT;
            At(x + 1, y) |= LEFT;
        }
    }
    void Vertical(int32_t x, int32_t y0, int32_t y1)
    {
        for (int32_t y = y0; y < y1 && y + 1 < m_height; ++y) {
            At(x, y) |= DOWN;
            At(x, y + 1) |= UP;
        }
    }
    std::wstring Line(int32_t y) const
    {
        std::wstring line;
        for (int32_t x = 0; x < m_width; ++x)
            line += BoxCharacter(m_ends[static_cast<size_t>(y * m_width + x)]);
        return line;
    }

private:
    uint8_t &At(int32_t x, int32_t y) { return m_ends[static_cast<size_t>(y * m_width + x)]; }

    int32_t m_width;
    int32_t m_height;
    std::vector<uint8_t> m_ends;
};

bool IsFullWidthKind(int32_t kind)
{
    return kind == TYX_KIND_MEDIA_READER || kind == TYX_KIND_MEDIA_WRITER;
}

// Inputs span the whole box only in a reader's or writer's box without outputs.
bool IsSplit(const stStatusScreenRow &row)
{
    return !row.outputs.empty() || !IsFullWidthKind(row.kind);
}

bool IsVideoKind(int32_t kind)
{
    return kind == TYX_PKT_KIND_RAW_VIDEO || kind == TYX_PKT_KIND_CODED_VIDEO;
}

bool IsAudioKind(int32_t kind)
{
    return kind == TYX_PKT_KIND_RAW_AUDIO || kind == TYX_PKT_KIND_CODED_AUDIO;
}

uint16_t ValueColour(int32_t kind)
{
    if (IsVideoKind(kind))
        return TYX_ATTR_LIGHT_GREEN;
    return IsAudioKind(kind) ? TYX_ATTR_YELLOW : TYX_ATTR_NORMAL;
}

std::wstring StreamLabel(const stStatusScreenCell &cell)
{
    const wchar_t *letter = IsVideoKind(cell.kind) ? L"V" : IsAudioKind(cell.kind) ? L"A" : L"";
    return FormatWide(L"%s[%x]", letter, cell.streamId);
}

std::wstring RowTitle(const stStatusScreenRow &row)
{
    std::wstring name = row.name;
    if (CellWidth(name) > NAME_CELLS)
        name = FitToCells(name, NAME_CELLS - 1) + L"~";
    return name + FormatWide(L"[%x]", row.workerId);
}

std::wstring ValueText(int64_t count, int32_t state)
{
    if (state == 0)
        return FitToCells(FormatWide(L"%10lld", static_cast<long long>(count)), VALUE_CELLS);
    return FormatWide(L"%*.*s", VALUE_CELLS, VALUE_CELLS, StatusStateWord(state).c_str());
}

// The cells a side's labels and values are centred in: (first x in the box, width).
std::pair<int32_t, int32_t> SideSpan(const stStatusScreenRow &row, bool input)
{
    if (!input)
        return {OUTPUT_DX, BOX_WIDTH - 1 - OUTPUT_DX};
    return IsSplit(row) ? std::pair<int32_t, int32_t>{1, DIVIDER_X - 1} : std::pair<int32_t, int32_t>{1, BOX_WIDTH - 2};
}

CBoxGrid BuildBox(const stStatusScreenRow &row)
{
    const int32_t right = BOX_WIDTH - 1;
    CBoxGrid grid(BOX_WIDTH, row.height + 1);
    grid.Horizontal(0, 0, right);
    grid.Horizontal(row.height, 0, right);
    grid.Vertical(0, 0, row.height);
    grid.Vertical(right, 0, row.height);
    grid.Horizontal(2, 0, right);
    const bool split = IsSplit(row);
    if (split)
        grid.Vertical(DIVIDER_X, 2, row.height);
    for (const auto &[id, cell] : row.inputs) {
        (void)id;
        if (cell.dy > 2)
            grid.Horizontal(cell.dy, 0, split ? DIVIDER_X : right);
    }
    for (const auto &[id, cell] : row.outputs) {
        (void)id;
        if (cell.dy > 2)
            grid.Horizontal(cell.dy, DIVIDER_X, right);
    }
    return grid;
}

void PutBox(CScreenFrame &frame, const stStatusScreenRow &row, int32_t x, int32_t y)
{
    const CBoxGrid grid = BuildBox(row);
    for (int32_t line = 0; line <= row.height; ++line)
        frame.Put(x, y + line, grid.Line(line), TYX_ATTR_GREY);
    frame.Put(x + 1, y + 1, CentreInCells(RowTitle(row), BOX_WIDTH - 2), TYX_ATTR_NORMAL);
    for (const bool input : {true, false}) {
        const auto [first, width] = SideSpan(row, input);
        for (const auto &[id, cell] : input ? row.inputs : row.outputs) {
            (void)id;
            if (cell.labelled)
                frame.Put(x + first, y + cell.dy + 1, CentreInCells(StreamLabel(cell), width),
                          IsAudioKind(cell.kind) ? TYX_ATTR_DARK_YELLOW : TYX_ATTR_GREEN);
        }
    }
}

void PutValues(CScreenFrame &frame, const stStatusScreenRow &row, int32_t x, int32_t y)
{
    const std::shared_ptr<CTYXWorker> worker = row.worker.lock();
    if (!worker)
        return;
    for (const bool input : {true, false}) {
        const auto &cells = input ? row.inputs : row.outputs;
        if (cells.empty())
            continue;
        const StreamStatisticsMap statistics = input ? worker->GetInputStatistics(0) : worker->GetOutputStatistics(0);
        for (const auto &[id, cell] : cells) {
            const auto entry = statistics.find(id);
            if (entry == statistics.end())
                continue;
            const stStreamStatistics &s = entry->second;
            frame.Put(x + cell.valueDx, y + cell.valueDy, ValueText(input ? s.dataPacketsIn : s.dataPacketsOut, s.state),
                      StatusStateColour(s.state, ValueColour(cell.kind)));
        }
    }
}

std::wstring PlainSide(const std::map<uint32_t, stStatusScreenCell> &cells, const StreamStatisticsMap &statistics,
                       bool input)
{
    std::wstring text;
    for (const auto &[id, cell] : cells) {
        const auto entry = statistics.find(id);
        if (entry == statistics.end())
            continue;
        const stStreamStatistics &s = entry->second;
        text += text.empty() ? L" " : L", ";
        text += StreamLabel(cell) + L" ";
        text += s.state == 0 ? std::to_wstring(input ? s.dataPacketsIn : s.dataPacketsOut) : StatusStateWord(s.state);
    }
    return text;
}

// The table's fixed lines above the boxes.
void PutHeader(CScreenFrame &frame, int32_t width, const std::wstring &title, const std::wstring &columns,
               const std::wstring &subtitles)
{
    const int32_t inner = width - 2;
    const std::wstring rule(static_cast<size_t>(inner), L'─');
    const auto enclosed = [&](int32_t y, const std::wstring &text) {
        frame.Put(0, y, L"│", TYX_ATTR_GREY);
        frame.Put(1, y, text, TYX_ATTR_NORMAL);
        frame.Put(width - 1, y, L"│", TYX_ATTR_GREY);
    };
    frame.Put(0, 1, L"┌" + rule + L"┐", TYX_ATTR_GREY);
    enclosed(2, CentreInCells(title, inner));
    frame.Put(0, 3, L"├" + rule + L"┤", TYX_ATTR_GREY);
    enclosed(4, FitToCells(columns + std::wstring(static_cast<size_t>(inner), L' '), inner));
    frame.Put(0, 5, L"├" + rule + L"┤", TYX_ATTR_GREY);
    enclosed(6, FitToCells(subtitles + std::wstring(static_cast<size_t>(inner), L' '), inner));
    frame.Put(0, 7, L"└" + rule + L"┘", TYX_ATTR_GREY);
}

} // namespace

std::wstring StatusStateWord(int32_t state)
{
    switch (state) {
    case TYX_STATUS_ERROR: return L"Error";
    case TYX_STATUS_OPEN_FAILED: return L"OpenFailed";
    case TYX_STATUS_CLOSED: return L"Closed";
    case TYX_STATUS_REOPENING: return L"Reopening";
    case TYX_STATUS_HUNGRY: return L"Hungry";
    case TYX_STATUS_BLOCKING: return L"Blocking";
    case TYX_STATUS_CACHING: return L"Caching";
    case TYX_STATUS_ESTIMATING: return L"Estimating";
    case TYX_STATUS_SYNCHRONIZING: return L"Synchroniz";
    default: return std::wstring(VALUE_CELLS, L' ');
    }
}

uint16_t StatusStateColour(int32_t state, uint16_t fallback)
{
    switch (state & 0xFF00) {
    case 0x1000: return TYX_ATTR_LIGHT_RED;
    case 0x1100: return TYX_ATTR_YELLOW;
    case 0x1200: return TYX_ATTR_LIGHT_BLUE;
    default: return fallback;
    }
}

CConsoleStatusScreen::CConsoleStatusScreen(const stProgramVersion &version, Clock clock)
    : m_version(version), m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] { return std::chrono::steady_clock::now(); };
}

int32_t CConsoleStatusScreen::BuildStatusScreenTable()
{
    CWriteLockGuard table(m_lock);
    m_rows.clear();
    m_columnTitles.clear();
    const auto add = [this](const auto &registry, int32_t kind, const wchar_t *title) {
        if (!registry.empty())
            m_columnTitles.push_back(title);
        for (const auto &[id, record] : registry) {
            (void)id;
            if (record)
                AddRow(*record, kind);
        }
    };
    add(CTYXGVMS::CopyMReaderMap(), TYX_KIND_MEDIA_READER, L"MReaders");
    add(CTYXGVMS::CopyDecoderMap(), TYX_KIND_VIDEO_DECODER, L"Decoders");
    add(CTYXGVMS::CopyVMPMap(), TYX_KIND_VIDEO_MIDPROC, L"AVMP");
    add(CTYXGVMS::CopyEncoderMap(), TYX_KIND_VIDEO_ENCODER, L"Encoders");
    add(CTYXGVMS::CopyMWriterMap(), TYX_KIND_MEDIA_WRITER, L"MWriters");
    m_sections = CTYXGVMS::LoadSeqCounter();
    m_vmpLevels = CTYXGVMS::VmpLevelCount();
    LayOut();
    m_drawnColumns = -1;
    return 0;
}

// Under the table's write lock.
void CConsoleStatusScreen::AddRow(const stTYXWorkerInstanceInfo &record, int32_t kind)
{
    if (!record.Config || record.WorkerId < 0)
        return;
    stStatusScreenRow &row = m_rows[static_cast<uint32_t>(record.WorkerId)];
    row.workerId = static_cast<uint32_t>(record.WorkerId);
    row.name = record.Name;
    row.worker = record.Worker;
    row.kind = kind;
    row.column = record.Config->LoadSeq;
    for (const stTYXWorkerItemInfo &item : record.Config->GetInputItems()) {
        stStatusScreenCell &cell = row.inputs[static_cast<uint32_t>(item.Id)];
        cell.streamId = static_cast<uint32_t>(item.Id);
        cell.kind = item.Kind;
    }
    CReadLockGuard links(CTYXGVMS::LinkRegistryLock());
    const ConsumerLinkRegistry &registry = CTYXGVMS::LinkRegistry();
    for (const stTYXWorkerItemInfo &item : record.Config->GetOutputItems()) {
        const uint32_t id = static_cast<uint32_t>(item.Id);
        if (row.outputs.count(id))
            continue;
        stStatusScreenCell &cell = row.outputs[id];
        cell.streamId = id;
        cell.streamNo = item.No;
        cell.kind = item.Kind;
        cell.name = item.Name;
        if (const auto stream = registry.find(id); stream != registry.end()) {
            for (const auto &[consumer, link] : stream->second) {
                (void)link;
                cell.consumers.push_back(consumer);
            }
        }
    }
    const size_t busier = std::max<size_t>({row.inputs.size(), row.outputs.size(), 1});
    row.linesPerStream = std::max(row.inputs.size(), row.outputs.size()) < 2 ? 3 : 4;
    row.height = row.linesPerStream * static_cast<int32_t>(busier) + 1;
}

// Under the table's write lock: rows in id order down their columns.
void CConsoleStatusScreen::LayOut()
{
    std::map<int16_t, int32_t> nextY;
    for (auto &[id, row] : m_rows) {
        (void)id;
        auto column = nextY.try_emplace(row.column, 1).first;
        row.x = row.column * COLUMN_PITCH - 27;
        row.y = column->second;
        column->second += row.height + 2;
        for (const bool input : {true, false}) {
            auto &cells = input ? row.inputs : row.outputs;
            const bool labelled = cells.size() >= 2;
            int32_t dy = 2;
            for (auto &[cellId, cell] : cells) {
                (void)cellId;
                cell.dx = input ? 0 : OUTPUT_DX;
                cell.dy = dy;
                cell.labelled = labelled;
                cell.valueDx = cell.dx + 1;
                cell.valueDy = dy + (labelled ? 2 : 1);
                dy += row.linesPerStream;
            }
        }
    }
}

int32_t CConsoleStatusScreen::TableWidth() const
{
    return COLUMN_PITCH * m_sections + 10;
}

int32_t CConsoleStatusScreen::TableBottom() const
{
    int32_t bottom = 0;
    for (const auto &[id, row] : m_rows) {
        (void)id;
        bottom = std::max(bottom, row.y + row.height);
    }
    return bottom;
}

namespace {

// 0 for a terminal whose size was read, 1 for plain output, else the drawing's failure code.
int32_t ProbeConsole(const CConsoleOutput &console, int32_t &columns, int32_t &rows)
{
    if (!console.IsValid())
        return 255;
    if (!console.IsTerminal())
        return 1;
    return console.GetWindowSize(columns, rows) == 0 ? 0 : 254;
}

} // namespace

int32_t CConsoleStatusScreen::DrawStatusScreen(CConsoleOutput &console)
{
    int32_t columns = 0;
    int32_t rows = 0;
    const int32_t probe = ProbeConsole(console, columns, rows);
    if (probe == 1) {
        console.Write(WStringToString(FormatWide(L"Kestro Lumo(V %d.%d.%d.%d)\n", m_version.major, m_version.minor,
                                                 m_version.build, m_version.revision)));
        WritePlainLines(console);
        return 0;
    }
    return probe == 0 ? DrawOnTerminal(console, columns, rows) : probe;
}

int32_t CConsoleStatusScreen::DrawOnTerminal(CConsoleOutput &console, int32_t columns, int32_t rows)
{
    // A terminal that reports no size (a fresh pseudo-terminal) is taken as the classic one.
    CScreenFrame frame(console, columns > 0 ? columns : 80, rows > 0 ? rows : 24);
    CReadLockGuard table(m_lock);
    // Each title over the boxes of its kind: a field per column of boxes (the mid-processors over
    // all their levels), closed by "│" in the gap before the next column.
    std::wstring titles = L" ";
    for (const std::wstring &title : m_columnTitles) {
        const int32_t columnsSpanned = title == L"AVMP" ? std::max<int32_t>(m_vmpLevels, 1) : 1;
        titles += CentreInCells(title, COLUMN_PITCH * columnsSpanned - 3) + L"│  ";
    }
    std::wstring subtitles = L" ";
    for (int16_t section = 0; section < m_sections; ++section)
        subtitles += L" " + CentreInCells(L"Reading", DIVIDER_X - 1) + L"│" +
                     CentreInCells(L"Writing", BOX_WIDTH - 2 - DIVIDER_X) + L" " + L"│  ";
    frame.ClearScreen();
    PutHeader(frame, TableWidth(),
              FormatWide(L"Kestro Lumo(V %d.%d.%d.%d)", m_version.major, m_version.minor, m_version.build,
                         m_version.revision),
              titles, subtitles);
    for (const auto &[id, row] : m_rows) {
        (void)id;
        PutBox(frame, row, row.x, ORIGIN_Y + row.y);
        PutValues(frame, row, row.x, ORIGIN_Y + row.y);
    }
    frame.ParkCursor(ORIGIN_Y + TableBottom() + 1);
    console.Write(frame.Text());
    m_drawnColumns = columns;
    m_drawnRows = rows;
    return 0;
}

int32_t CConsoleStatusScreen::RefreshStatusScreen(CConsoleOutput &console)
{
    int32_t columns = 0;
    int32_t rows = 0;
    const int32_t probe = ProbeConsole(console, columns, rows);
    if (probe == 1) {
        if (m_clock() - m_lastPlain >= m_plainPeriod)
            WritePlainLines(console);
        return 0;
    }
    if (probe != 0)
        return probe;
    if (columns != m_drawnColumns || rows != m_drawnRows)
        return DrawOnTerminal(console, columns, rows);
    RefreshOnTerminal(console, columns, rows);
    return 0;
}

void CConsoleStatusScreen::RefreshOnTerminal(CConsoleOutput &console, int32_t columns, int32_t rows)
{
    CScreenFrame frame(console, columns > 0 ? columns : 80, rows > 0 ? rows : 24);
    CReadLockGuard table(m_lock);
    for (const auto &[id, row] : m_rows) {
        (void)id;
        PutValues(frame, row, row.x, ORIGIN_Y + row.y);
    }
    frame.ParkCursor(ORIGIN_Y + TableBottom() + 1);
    console.Write(frame.Text());
}

void CConsoleStatusScreen::WritePlainLines(CConsoleOutput &console)
{
    m_lastPlain = m_clock();
    std::wstring text;
    CReadLockGuard table(m_lock);
    for (const auto &[id, row] : m_rows) {
        const std::shared_ptr<CTYXWorker> worker = row.worker.lock();
        if (!worker)
            continue;
        text += FormatWide(L"[Status] %s[%x]", row.name.c_str(), id);
        if (!row.inputs.empty())
            text += L" in:" + PlainSide(row.inputs, worker->GetInputStatistics(0), true);
        if (!row.outputs.empty())
            text += std::wstring(row.inputs.empty() ? L"" : L";") + L" out:" +
                    PlainSide(row.outputs, worker->GetOutputStatistics(0), false);
        text += L"\n";
    }
    console.Write(WStringToString(text));
}

void CConsoleStatusScreen::DrawWorkerStateCell(CConsoleOutput &console, uint16_t attributes, int64_t count,
                                               int32_t state)
{
    const std::string text = WStringToString(ValueText(count, state));
    console.Write(console.AttributeEscape(StatusStateColour(state, attributes)) + text);
}

std::vector<stStatusScreenRow> CConsoleStatusScreen::Rows() const
{
    CReadLockGuard table(m_lock);
    std::vector<stStatusScreenRow> rows;
    for (const auto &[id, row] : m_rows) {
        (void)id;
        rows.push_back(row);
    }
    return rows;
}
