#include <gtest/gtest.h>

#include "list_intr.h"
#include "sandbox.h"

namespace {

TEST(Lists, FreeEmptiesBothAndASecondRunYieldsTheSameLists) {
    Sandbox box;
    box.write("src\\a.txt", "a", T2020);
    box.mkdir("dst");
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\nmissing\n");
    for (int run = 0; run < 2; run++) {
        initPaths(&exPath, &unexPath);
        ASSERT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath));
        ASSERT_EQ(1u, exPath.count);
        EXPECT_EQ(box.full("src\\a.txt"), exPath.first->path);
        EXPECT_EQ(box.full("dst") + "\\", exPath.first->pathTo);
        ASSERT_EQ(1u, unexPath.count);
        EXPECT_STREQ("missing", unexPath.first->path);
        EXPECT_EQ(nullptr, unexPath.first->pathTo);
        freePaths(&exPath, &unexPath);
        EXPECT_EQ(0u, exPath.count);
        EXPECT_EQ(nullptr, exPath.first);
        EXPECT_EQ(0u, unexPath.count);
        EXPECT_EQ(nullptr, unexPath.first);
    }
}

}  // namespace
