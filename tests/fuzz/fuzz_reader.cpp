// libFuzzer target: any bytes as the backup list, read and walked in the fixed tree that run.sh makes and
// runs it in; the lists must come out consistent and be released whole (ASan, UBSan).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "list_text.h"

// The sums of a list agree with its nodes. An entry has its source's full
// path, which the file calls take and which holds no '?', and its
// destination; a rejected line has none.
static void checkList(const PathList& list, bool entries) {
    uint32_t count = 0, lenAll = 0;
    for (const PathNode* node = list.first; node; node = node->next, count++) {
        lenAll += node->len;
        if (strlen(node->path) != node->len || !node->pathTo == entries) abort();
        if (entries && (!pathFits(node->path, node->len) || strchr(node->path, '?') || strlen(node->pathTo) != node->lenTo))
            abort();
    }
    if (count != list.count || lenAll != list.lenAll || (entries && list.lenCopy != lenAll)) abort();
}

// Whether the list, read in the reader's lines, can name "/", "\" (the whole
// disk: its walk would only measure the machine) or "..". Such are skipped.
static bool leavesTree() {
    ListText list;
    char* line = NULL;
    bool leaves = loadListText("Quarnelvistro.txt", &list) != READ_DONE;
    while (!leaves && (line = nextListLine(&list))) {
        leaves = strchr(line, '/') || strstr(line, "..");
        for (char* p = strchr(line, '\\'); p && !leaves; p = strchr(p + 1, '\\'))
            leaves = p == line || strchr(" \t>-", p[-1]);
    }
    freeListText(&list);
    return leaves;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* list = fopen("Quarnelvistro.txt", "wb");
    if (!list || fwrite(data, 1, size, list) != size || fclose(list) != 0) abort();
    if (leavesTree()) return 0;
    initPaths(&exPath, &unexPath);
    ReaderResult result = ReadPaths(&exPath, &unexPath);
    if (result != READ_DONE && result != READ_NO_ATTRIBUTES) abort();
    checkList(exPath, true);
    checkList(unexPath, false);
    freePaths(&exPath, &unexPath);
    return 0;
}
