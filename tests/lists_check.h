// Runs the reader in a sandbox and renders both lists as texts, checking on
// the way what every list must keep: counters equal to the sums over its
// nodes, and every node whole. The sandbox's drive folder is written '@' in
// lists and expectations, so one table serves every build.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "list_intr.h"
#include "sandbox.h"

using Strings = std::vector<std::string>;

inline Strings sorted(Strings s) {
    std::sort(s.begin(), s.end());
    return s;
}

// '@' to the drive folder (expand), or back (shorten).
inline std::string swapAt(const Sandbox& box, std::string s, bool expand) {
    const std::string at = box.full("") + "\\", from = expand ? "@" : at, to = expand ? at : "@";
    for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size()))
        s.replace(i, from.size(), to);
    return s;
}

// Entries as "path mode pathTo", rejected lines as their text.
inline Strings render(const Sandbox& box, const PathList& list, bool entries) {
    Strings out;
    uint32_t count = 0, lenAll = 0;
    for (const PathNode* n = list.first; n; n = n->next, count++) {
        lenAll += n->len;
        std::string text = swapAt(box, n->path ? n->path : "<no path>", false), to = n->pathTo ? n->pathTo : "";
        EXPECT_EQ(n->path ? strlen(n->path) : 0, n->len) << text;
        if (entries) {
            EXPECT_TRUE(to.size() == n->lenTo && to.back() == '\\') << text;
            EXPECT_EQ(box.time(text.substr(1)), (uint64_t)n->timeFrom.dwHighDateTime << 32 | n->timeFrom.dwLowDateTime);
            EXPECT_TRUE(!n->toCopy && !n->timeTo.dwLowDateTime && !n->timeTo.dwHighDateTime) << text;
            text += " " + std::to_string(n->checkDate) + " " + swapAt(box, to, false);
        } else {
            EXPECT_EQ(nullptr, n->pathTo) << text;
        }
        out.push_back(text);
    }
    EXPECT_TRUE(count == list.count && lenAll == list.lenAll && (entries ? lenAll : 0) == list.lenCopy);
    EXPECT_TRUE(!list.lenToCopy && !list.countCopy);
    return out;
}

struct ReadLists {
    int result;
    Strings entries, rejected;
};

// One whole run of the reader over the sandbox's backup list.
inline ReadLists readLists(const Sandbox& box) {
    initPaths(&exPath, &unexPath);
    int result = ReadPaths(&exPath, &unexPath);
    ReadLists r{result, render(box, exPath, true), render(box, unexPath, false)};
    freePaths(&exPath, &unexPath);
    return r;
}
