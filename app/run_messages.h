// The fixed texts of both front ends, in Windows-1251.
#pragma once

// "Error reading the file Quarnelvistro.txt. Perhaps it does not exist."
// The backup list could not be opened.
constexpr char msgNoList[] =
    "\xce\xf8\xe8\xe1\xea\xe0 \xef\xf0\xe8 \xf7\xf2\xe5\xed\xe8\xe8 \xf4\xe0\xe9\xeb\xe0 "
    "Quarnelvistro.txt. \xc2\xee\xe7\xec\xee\xe6\xed\xee, \xe5\xe3\xee \xed\xe5\xf2.";
// "Error getting file attributes. GetFileAttributesExA": an existing path
// gave no attributes.
constexpr char msgNoAttributes[] =
    "\xce\xf8\xe8\xe1\xea\xe0 \xef\xee\xeb\xf3\xf7\xe5\xed\xe8\xff \xe0\xf2\xf0\xe8\xe1\xf3"
    "\xf2\xee\xe2 \xf4\xe0\xe9\xeb\xe0. GetFileAttributesExA";
// "NO MEMORY": the reader ran out of memory.
constexpr char msgNoMemory[] = "\xcd\xc5\xd2 \xcf\xc0\xcc\xdf\xd2\xc8";
// "Erroneous, nonexistent paths. Or files given instead of a destination
// directory. Or lines skipped for lack of a destination directory. :"
// Heads the list of rejected lines.
constexpr char msgRejectedHeader[] =
    "\xce\xf8\xe8\xe1\xee\xf7\xed\xfb\xe5, \xed\xe5\xf1\xf3\xf9\xe5\xf1\xf2\xe2\xf3\xfe\xf9"
    "\xe8\xe5 \xef\xf3\xf2\xe8. \xc8\xeb\xe8 \xf4\xe0\xe9\xeb\xfb, \xf3\xea\xe0\xe7\xe0\xed"
    "\xed\xfb\xe5 \xe2\xec\xe5\xf1\xf2\xee \xea\xe0\xf2\xe0\xeb\xee\xe3\xe0 \xed\xe0\xe7\xed"
    "\xe0\xf7\xe5\xed\xe8\xff. \xc8\xeb\xe8 \xef\xf0\xee\xef\xf3\xf9\xe5\xed\xed\xfb\xe5 "
    "\xef\xf0\xe8 \xee\xf2\xf1\xf3\xf2\xf1\xf2\xe2\xe8\xe8 \xea\xe0\xf2\xe0\xeb\xee\xe3\xe0 "
    "\xed\xe0\xe7\xed\xe0\xf7\xe5\xed\xe8\xff. :";
// "No existing paths to copy.": the list named no existing source.
constexpr char msgNothingToCopy[] =
    "\xcd\xe5\xf2 \xf1\xf3\xf9\xe5\xf1\xf2\xe2\xf3\xfe\xf9\xe8\xf5 \xef\xf3\xf2\xe5\xe9 "
    "\xe4\xeb\xff \xea\xee\xef\xe8\xf0\xee\xe2\xe0\xed\xe8\xff.";
// "No free memory.": the window could not list the rejected lines.
constexpr char msgNoFreeMemory[] =
    "\xcd\xe5\xf2 \xf1\xe2\xee\xe1\xee\xe4\xed\xee\xe9 \xef\xe0\xec\xff\xf2\xe8.";

static_assert(sizeof msgNoList - 1 == 61, "no-list message");
static_assert(sizeof msgNoAttributes - 1 == 54, "no-attributes message");
static_assert(sizeof msgNoMemory - 1 == 10, "no-memory message");
static_assert(sizeof msgRejectedHeader - 1 == 134, "rejected header");
static_assert(sizeof msgNothingToCopy - 1 == 39, "nothing-to-copy message");
static_assert(sizeof msgNoFreeMemory - 1 == 21, "no-free-memory message");

// The log file of an unattended run could not be opened.
constexpr char msgLogNotOpened[] = "Error of opening of QuarnelvistroLOG.txt file.";
constexpr char msgLogNotOpenedCaption[] = "Err";
