// A whole unattended run with each of its allocations failing in turn, the
// first to the last: the log holds exactly the promised text, and every file
// that reached the destination equals its source (none half written).
// Leaks show under linux-asan.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "alloc.h"
#include "expected_texts.h"
#include "front_end.h"
#include "sandbox.h"

namespace {

// The copy pass\'s text after the line end that precedes it, as the log has it.
const std::string copyNoMemory = "\r\n\r\n" + textNoMemory + "\r\n";

TEST(FaultInjection, EveryAllocationOfAnUnattendedRunFailingInTurn) {
    Sandbox box;
    // What the destination may hold: mirror path = content.
    std::map<std::string, std::string> sources;
    for (const char* rel : {"src\\a.txt", "src\\sub\\b.txt", "src\\sub\\deeper\\c.txt", "one.txt"}) {
        box.write(rel, std::string("content of ") + rel, T2020 + sources.size() * SECOND);
        sources[box.mirror(rel)] = std::string("content of ") + rel;
    }
    const std::string farFile = "s\\" + std::string(120, 'f') + ".txt";
    const std::string longDest = std::string(100, 'd') + "\\" + std::string(100, 'd');
    box.write(farFile, "farFile", T2020);
    box.mkdir(longDest);
    box.mkdir("dst");
    // Marked UTF-8: its conversion allocates too.
    box.writeList("\xEF\xBB\xBF--Dir--" + box.full("dst") + "\r\n" + box.full("src") + "\r\nmissing.txt\r\n" +
                  box.full("one.txt") + "\r\n--Dir--" + box.full(longDest) + "\r\n" + box.full(farFile) + "\r\n");
    const std::string rejectedBlock = textRejectedHeader + "\r\nmissing.txt\r\n";
    const std::string cleanLog =
        rejectedBlock + "\r\n" + textTooLong + "\r\n" + box.full(longDest) + "\\" + box.mirror(farFile);

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
        std::filesystem::remove_all(box.native("dst"));
        box.mkdir("dst");
        failAllocationAfter(n);
        const RunOutcome outcome = startCopingInConsole();
        failAllocationAfter(-1);
        EXPECT_EQ(n < runAllocations ? RUN_NO_BACKUP : RUN_INCOMPLETE, outcome);
        const std::vector<std::string> copied = box.tree("dst");
        if (n < readerAllocations) {
            EXPECT_EQ(textNoMemory, box.log());
            EXPECT_TRUE(copied.empty());
        } else if (n < runAllocations) {
            EXPECT_EQ(rejectedBlock + copyNoMemory, box.log());
        } else {
            EXPECT_EQ(cleanLog, box.log());
            EXPECT_EQ(sources.size(), copied.size());
        }
        for (const std::string& file : copied) {
            const size_t eq = file.find('=');
            auto source = sources.find(file.substr(0, eq));
            ASSERT_NE(sources.end(), source) << "not a backup: " << file;
            EXPECT_EQ(source->second, file.substr(eq + 1)) << "half written: " << file;
        }
    }
}

}  // namespace
