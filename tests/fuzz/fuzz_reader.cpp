// libFuzzer target: any bytes as the backup list, read (and walked) against
// a small fixed tree of odd entries; the lists must come out consistent and
// be released whole (AddressSanitizer, UndefinedBehaviorSanitizer).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "list_intr.h"
#include "list_text.h"

namespace fs = std::filesystem;

namespace {

std::string treeRoot;

void put(const std::string& rel, const char* content = "x") {
    fs::path p = treeRoot + "/" + rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

// The drive "C:" as the stand-in layer finds it: a folder in the working
// directory. Loops, dangling links, names the walker must list, and paths
// at the edge of the walker's room.
void makeTree() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/qv-fuzz.XXXXXX";
    if (!mkdtemp(&pattern[0]) || chdir(pattern.c_str()) != 0) abort();
    treeRoot = pattern;
    put("C:/src/a.txt");
    put("C:/src/sub/b.txt");
    put("C:/src/..cache/c.txt");
    put("C:/src/.git/d");
    put("C:/src/wh?t");
    put("C:/src/back\\slash");
    put("C:/f.txt");
    fs::create_directories(treeRoot + "/C:/dst/inner");
    fs::create_directory_symlink("..", treeRoot + "/C:/src/sub/up");
    fs::create_symlink("/nonexistent", treeRoot + "/C:/src/gone");
    std::string deep = "C:/deep/" + std::string(200, 'd');
    // "C:\deep\ddd...\nnn...NNN" of n characters
    for (int n = 255; n <= 262; n++) put(deep + "/" + std::string(n - 212, 'n') + std::to_string(n));
    atexit([] {
        std::error_code ec;
        fs::remove_all(treeRoot, ec);
    });
}

void check(bool ok) {
    if (!ok) abort();
}

void checkList(const PathList& list, bool entries) {
    uint32_t count = 0, lenAll = 0;
    for (const PathNode* node = list.first; node; node = node->next) {
        count++;
        lenAll += node->len;
        check(node->path && strlen(node->path) == node->len && (!entries || node->len <= LINE_ROOM));
        check(entries ? node->pathTo && strlen(node->pathTo) == node->lenTo && node->lenTo &&
                            node->pathTo[node->lenTo - 1] == '\\' && node->checkDate <= 1 && !strchr(node->path, '?')
                      : !node->pathTo);
    }
    check(count == list.count && lenAll == list.lenAll && (!entries || list.lenCopy == lenAll));
}

// Whether the list's text, read in the reader's pieces, can name a path
// outside the fixed tree: "/", "\" (the root of the whole disk, whose walk
// would only measure the machine) or "..". Such inputs are skipped.
bool leavesTree() {
    ListText list;
    if (loadListText("Quarnelvistro.txt", &list) != READ_DONE) abort();
    char piece[LINE_ROOM + 1];
    bool leaves = false;
    while (!leaves && nextListPiece(&list, piece, sizeof piece)) {
        leaves = strchr(piece, '/') || strstr(piece, "..");
        for (char* p = strchr(piece, '\\'); p && !leaves; p = strchr(p + 1, '\\'))
            leaves = p == piece || strchr(" \t>-", p[-1]);
    }
    freeListText(&list);
    return leaves;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (treeRoot.empty()) makeTree();
    FILE* list = ::fopen((treeRoot + "/Quarnelvistro.txt").c_str(), "wb");
    if (!list || fwrite(data, 1, size, list) != size || fclose(list) != 0) abort();
    if (leavesTree()) return 0;
    initPaths(&exPath, &unexPath);
    ReaderResult result = ReadPaths(&exPath, &unexPath);
    check(result == READ_DONE || result == READ_NO_ATTRIBUTES);
    checkList(exPath, true);
    checkList(unexPath, false);
    freePaths(&exPath, &unexPath);
    return 0;
}
