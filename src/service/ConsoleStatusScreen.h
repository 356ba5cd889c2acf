#pragma once

#include "core/ReadWriteLock.h"
#include "service/dGlobalFuncs.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CConsoleOutput;
class CTYXWorker;
struct stTYXWorkerInstanceInfo;

// One input or output stream of a worker on the status screen.
struct stStatusScreenCell
{
    uint32_t streamId = 0;
    int16_t streamNo = 0;
    int32_t kind = 0;                    // package kind
    std::wstring name;                   // output cells
    std::vector<uint32_t> consumers;     // output cells: the linked consumer workers
    int32_t dx = 0;                      // the cell's top-left in the row
    int32_t dy = 0;
    bool labelled = false;               // a label line at (dx + 1, dy + 1)
    int32_t valueDx = 0;                 // where the value is written
    int32_t valueDy = 0;
};

// One worker's box.
struct stStatusScreenRow
{
    uint32_t workerId = 0;
    std::wstring name;
    std::weak_ptr<CTYXWorker> worker;    // not owned: a removed worker's box keeps its last values
    int32_t kind = 0;                    // worker kind
    int16_t column = 0;                  // the configuration's load order number
    int32_t x = 0;
    int32_t y = 0;
    int32_t height = 0;
    int32_t linesPerStream = 3;
    std::map<uint32_t, stStatusScreenCell> inputs;
    std::map<uint32_t, stStatusScreenCell> outputs;
};

// The console status screen: one box per worker, in one column per loaded worker section, with
// a cell for each input and output stream showing its packet count or its state word. Built once
// after the workers are initialised, drawn after they are resumed, refreshed on every pass of the
// main loop, all on the main thread.
//
// On a terminal the table is drawn with escapes at the window's top-left, cut to the window (a
// narrower window shows the left part, nothing wraps) and drawn again when the window changes
// size. Anywhere else (a file, the journal) it writes plain lines: the title when drawn, then one
// line per worker every plain period.
class CConsoleStatusScreen
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit CConsoleStatusScreen(const stProgramVersion &version = TyxProgramVersion(), Clock clock = {});
    CConsoleStatusScreen(const CConsoleStatusScreen &) = delete;
    CConsoleStatusScreen &operator=(const CConsoleStatusScreen &) = delete;

    // Builds the table from the instance registries: 0.
    int32_t BuildStatusScreenTable();
    // 0; 255 for an unusable console; 254 when a terminal's size cannot be read.
    int32_t DrawStatusScreen(CConsoleOutput &console);
    // Rewrites every cell value: 0 (255 and 254 as for drawing).
    int32_t RefreshStatusScreen(CConsoleOutput &console);
    // Writes one cell value at the cursor: the count, or the state word in its class colour.
    static void DrawWorkerStateCell(CConsoleOutput &console, uint16_t attributes, int64_t count, int32_t state);

    // A copy of the table (tests, diagnostics).
    std::vector<stStatusScreenRow> Rows() const;
    // The row of the table's top line where the boxes start (after the header).
    static constexpr int32_t ORIGIN_Y = 8;
    void SetPlainPeriod(std::chrono::milliseconds period) { m_plainPeriod = period; }

private:
    void AddRow(const stTYXWorkerInstanceInfo &record, int32_t kind);
    void LayOut();
    int32_t DrawOnTerminal(CConsoleOutput &console, int32_t columns, int32_t rows);
    void RefreshOnTerminal(CConsoleOutput &console, int32_t columns, int32_t rows);
    void WritePlainLines(CConsoleOutput &console);
    int32_t TableWidth() const;
    int32_t TableBottom() const;

    stProgramVersion m_version;
    Clock m_clock;
    mutable CReadWriteLock m_lock; // the table
    std::map<uint32_t, stStatusScreenRow> m_rows;
    std::vector<std::wstring> m_columnTitles;
    int16_t m_sections = 0;
    int16_t m_vmpLevels = 0;
    int32_t m_drawnColumns = -1;
    int32_t m_drawnRows = -1;
    std::chrono::milliseconds m_plainPeriod{30000};
    std::chrono::steady_clock::time_point m_lastPlain{};
};

// The state word of a stream state (10 blanks for an unknown one) and the colour of its class
// (fallback for states outside the classes).
std::wstring StatusStateWord(int32_t state);
uint16_t StatusStateColour(int32_t state, uint16_t fallback);
