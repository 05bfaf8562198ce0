// A whole unattended run with each of its allocations failing in turn, the
// first to the last: the outcome and the log are exactly the promised ones,
// and every file that reached the destination equals its source (none half
// written). Leaks show under linux-asan.
#include <gtest/gtest.h>

#include <filesystem>

#include "alloc.h"
#include "expected_texts.h"
#include "front_end.h"
#include "sandbox.h"

namespace {

TEST(FaultInjection, EveryAllocationOfAnUnattendedRunFailingInTurn) {
    Sandbox box;
    Strings backups;  // all the destination may hold
    for (const char* rel : {"src\\a.txt", "src\\sub\\b.txt", "src\\sub\\c.txt", "src\\sub\\d.txt", "src\\sub\\e.txt",
                            "one.txt"}) {
        box.write(rel, rel, T2020);
        backups.push_back(box.mirror(rel) + "=" + rel);
    }
    // One past MAX_PATH, copied on its own.
    const std::string distant = "s\\" + std::string(150, 'f') + "\\" + std::string(150, 'g');
    box.write(distant, "distant", T2020);
    backups.push_back(box.mirror(distant) + "=distant");
    // Two backups already there, in a folder of four files: the copy pass lists it.
    auto backedUp = [&] {
        std::filesystem::remove_all(box.native("dst"));
        for (const char* rel : {"src\\sub\\c.txt", "src\\sub\\d.txt"}) box.write("dst\\" + box.mirror(rel), rel, T2020);
    };
    backedUp();
    const Strings kept = box.tree("dst");
    // Marked UTF-8: its conversion allocates too.
    box.writeList("\xEF\xBB\xBF--Dir--" + box.full("dst") + "\r\n" + box.full("src") + "\r\nmissing.txt\r\n" +
                  box.full("one.txt") + "\r\n" + box.full("s") + "\r\n");
    const std::string rejected = logOf(textRejectedHeader) + "\r\nmissing.txt\r\n", cleanLog = rejected;

    // How many allocations the reader makes, and the whole run.
    failAllocationAfter(-1);
    initPaths(&exPath, &unexPath);
    ASSERT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath));
    freePaths(&exPath, &unexPath);
    const long readerAllocations = allocationCount();
    failAllocationAfter(-1);
    ASSERT_EQ(RUN_INCOMPLETE, startCopingInConsole());
    const long runAllocations = allocationCount();
    ASSERT_EQ(cleanLog, box.log());
    ASSERT_GT(runAllocations, readerAllocations);

    for (long n = 0; n <= runAllocations; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(runAllocations) + " fails");
        backedUp();
        failAllocationAfter(n);
        const RunOutcome outcome = startCopingInConsole();
        failAllocationAfter(-1);
        const Strings copied = box.tree("dst");
        if (n < readerAllocations) {
            EXPECT_EQ(logOf(textNoMemory), box.log());
            EXPECT_EQ(kept, copied);
        } else if (n < runAllocations) {
            EXPECT_EQ(rejected + "\r\n\r\n" + logOf(textNoMemory) + "\r\n", box.log());
        } else {
            EXPECT_EQ(cleanLog, box.log());
            EXPECT_EQ(sorted(backups), copied);
        }
        EXPECT_EQ(n < runAllocations ? RUN_NO_BACKUP : RUN_INCOMPLETE, outcome);
        for (const std::string& file : copied)
            EXPECT_NE(backups.end(), std::find(backups.begin(), backups.end(), file)) << "not a whole backup: " << file;
    }
}

}  // namespace
