// What real POSIX trees hold and Windows programs never see: a link whose
// target is gone (every relative link of a copied tree may be one), a fifo
// and a socket among the files. None has content to back up: each is listed
// among the rejected lines, and the rest of the batch is copied.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "front_end.h"
#include "../expected_texts.h"
#include "../sandbox.h"

namespace {

TEST(FieldHazards, LinksToNothingFifosAndSocketsAreListedAndTheRestIsCopied) {
    Sandbox box;
    box.write("src\\a.txt", "a", T2020);
    box.write("src\\z.txt", "z", T2020);
    box.mkdir("dst");
    ASSERT_EQ(0, symlink("/nonexistent/target", box.native("src\\gone").c_str()));
    ASSERT_EQ(0, mkfifo(box.native("src\\pipe").c_str(), 0644));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", box.native("src\\sock").c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, bind(sock, (sockaddr*)&address, sizeof address));
    box.writeList("--Dir--" + box.full("src") + "\\..\\dst\n" + box.full("src") + "\n" + box.full("src\\pipe") + "\n");
    EXPECT_EQ(RUN_INCOMPLETE, startCopingInConsole());
    close(sock);
    const std::string log = box.log(), header = textRejectedHeader + "\r\n";
    ASSERT_EQ(header, log.substr(0, header.size()));
    std::vector<std::string> rejected;
    for (size_t at = header.size(), end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        rejected.push_back(log.substr(at, end - at));
    std::sort(rejected.begin(), rejected.end() - 1);  // the walk's order, then the line's
    EXPECT_EQ((std::vector<std::string>{box.full("src\\gone"), box.full("src\\pipe"), box.full("src\\sock"),
                                        box.full("src\\pipe")}),
              rejected);
    EXPECT_EQ(header.size() + 2 * 4 + 4 * box.full("src\\gone").size(), log.size());
    EXPECT_EQ((std::vector<std::string>{box.mirror("src\\a.txt") + "=a", box.mirror("src\\z.txt") + "=z"}),
              box.tree("dst"));
}

}  // namespace
