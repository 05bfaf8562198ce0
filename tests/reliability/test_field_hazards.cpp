// What real POSIX trees hold and Windows programs never see: a link whose
// target is gone (every relative link of a copied tree may be one), and a
// fifo among the files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "front_end.h"
#include "../expected_texts.h"
#include "../sandbox.h"

namespace {

TEST(FieldHazards, DanglingLinkIsListedAndTheRestIsCopied) {
    Sandbox box;
    box.write("src\\a.txt", "a", T2020);
    box.write("src\\z.txt", "z", T2020);
    box.mkdir("dst");
    ASSERT_EQ(0, symlink("/nonexistent/target", box.native("src\\gone").c_str()));
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n");
    startCopingInConsole();
    EXPECT_EQ(textRejectedHeader + "\r\n" + box.full("src\\gone") + "\r\n", box.log());
    EXPECT_EQ((std::vector<std::string>{box.mirror("src\\a.txt") + "=a", box.mirror("src\\z.txt") + "=z"}),
              box.tree("dst"));
}

TEST(FieldHazards, FifoFailsTheCopyInsteadOfWaitingForAWriter) {
    Sandbox box;
    box.mkdir("src");
    box.mkdir("dst");
    ASSERT_EQ(0, mkfifo(box.native("src\\pipe").c_str(), 0644));
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n");
    startCopingInConsole();
    // The source cannot be read.
    EXPECT_EQ("\r\n" + textCopyFailed + "120 (78)", box.log());
    EXPECT_TRUE(box.tree("dst").empty());
}

}  // namespace
