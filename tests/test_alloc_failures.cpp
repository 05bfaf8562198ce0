#include "alloc.h"
#include "lists_check.h"

namespace {

bool startsWith(const Strings& whole, const Strings& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Failing each allocation of a read in turn: the reader stops right there
// with result 3, the lists hold a whole-node prefix of a full read, with
// exact counters, and freePaths leaves nothing behind (linux-asan).
TEST(AllocationFailures, EveryAllocationOfAReadFailsCleanly) {
    Sandbox box;
    box.mkdir("dst");
    box.write("f.txt", "f", T2020);
    box.write("src\\a.txt", "a", T2020);
    box.write("src\\d\\b.txt", "b", T2020);
    box.write("src\\d\\" + std::string(261 - box.full("src\\d\\").size(), 'n'), "n");
    // Marked UTF-8: its conversion allocates too.
    box.writeList("\xEF\xBB\xBF" +
                  swapAt(box, "@f.txt\n--Dir--@dst\n@f.txt\n@src\n@none\n--Dir--<-d>@none\n@src\\a.txt\n", true));
    failAllocationAfter(-1);
    const ReadLists whole = readLists(box);
    const long total = allocationCount();
    ASSERT_EQ(READ_DONE, whole.result);
    ASSERT_EQ(3u, whole.entries.size());
    ASSERT_EQ(5u, whole.rejected.size());
    for (long n = 0; n <= total; n++) {
        failAllocationAfter(n);
        const ReadLists r = readLists(box);
        const long asked = allocationCount();
        EXPECT_EQ(n < total ? READ_NO_MEMORY : READ_DONE, r.result) << n;
        // Nothing past the failing node is tried (its second text may be).
        EXPECT_TRUE(n < total ? asked == n + 1 || asked == n + 2 : asked == total) << n << " " << asked;
        EXPECT_TRUE(startsWith(whole.entries, r.entries) && startsWith(whole.rejected, r.rejected)) << n;
    }
    failAllocationAfter(-1);
}

}  // namespace
