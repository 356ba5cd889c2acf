// A record writer in a process of its own, for the tests that kill it: it records the writer
// tests' clip (all of it, 4 s) into the folder TYX_RECORD_ROOT, writes "ready" into the FIFO
// TYX_CHILD_READY once the writer has taken every package, and then waits, its file still open,
// until a signal ends it.

#include "WriterTestSupport.h"
#include "host/GlobalVars.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int64_t kBase = 1700000000000000;

int Fail(const char *what)
{
    std::fprintf(stderr, "record_writer_child: %s\n", what);
    return 1;
}

} // namespace

int main()
{
    const char *root = std::getenv("TYX_RECORD_ROOT");
    const char *ready = std::getenv("TYX_CHILD_READY");
    if (!root || !ready)
        return Fail("TYX_RECORD_ROOT and TYX_CHILD_READY are needed");
    CTYXGVMS::GeneralSettings().RecordWriter = L"RecWriter";
    const CTestEncoder &clip = TestClip();
    CWriterHarness harness(clip, true);
    harness.Worker().SetMaxWaitMs(20);
    if (harness.Start(CWriterHarness::RecordConfig(root, true)) != 0)
        return Fail("the writer did not start");
    harness.Feed(kBase, 0, 1000000);
    if (!WaitFor([&harness] { return harness.Worker().IsOutputOpened(); }))
        return Fail("the record file did not open");
    harness.Feed(kBase, 1000000, clip.ClipUs());
    if (!harness.WaitDrained(60000))
        return Fail("the writer did not take the clip");
    const int fd = open(ready, O_WRONLY);
    if (fd < 0)
        return Fail("no ready FIFO");
    const ssize_t written = write(fd, "ready\n", 6);
    close(fd);
    if (written != 6)
        return Fail("ready not written");
    for (;;)
        pause();
}
