// The fixed texts of both front ends (see fixed_texts.h for their encoding).
#pragma once

#include "fixed_texts.h"

// "Error reading the file Quarnelvistro.txt. Perhaps it does not exist."
// The backup list could not be opened.
constexpr char msgNoList[] = "Ошибка при чтении файла Quarnelvistro.txt. Возможно, его нет.";
// "Error getting file attributes. GetFileAttributesExA": an existing path
// gave no attributes.
constexpr char msgNoAttributes[] = "Ошибка получения атрибутов файла. GetFileAttributesExA";
// "NO MEMORY": the reader ran out of memory.
constexpr char msgNoMemory[] = "НЕТ ПАМЯТИ";
// "Erroneous, nonexistent paths. Or files given instead of a destination
// directory. Or lines skipped for lack of a destination directory. :"
// Heads the list of rejected lines.
constexpr char msgRejectedHeader[] =
    "Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
    "Или пропущенные при отсутствии каталога назначения. :";
// "No existing paths to copy.": the list named no existing source.
constexpr char msgNothingToCopy[] = "Нет существующих путей для копирования.";
// "No free memory.": the window could not list the rejected lines.
constexpr char msgNoFreeMemory[] = "Нет свободной памяти.";
// "The run did not finish: the backup may be incomplete." The unattended
// run's log holds it, with no line end, from the run's start until the
// report replaces it at the end: a log holding only this line is from a run
// that was killed, crashed or went down with the machine.
constexpr char msgRunNotFinished[] = "Запуск не завершён: резервная копия могла быть сделана не полностью.";

// "Could not open or write the file QuarnelvistroLOG.txt.": the native
// unattended run tells standard error so, before its report, when its log
// could not be opened, or its start line or report not written whole.
constexpr char msgLogNotWritten[] = "Не удалось открыть или записать файл QuarnelvistroLOG.txt.";

static_assert(textChars(msgNoList) == 61, "no-list message");
static_assert(textChars(msgNoAttributes) == 54, "no-attributes message");
static_assert(textChars(msgNoMemory) == 10, "no-memory message");
static_assert(textChars(msgRejectedHeader) == 134, "rejected header");
static_assert(textChars(msgNothingToCopy) == 39, "nothing-to-copy message");
static_assert(textChars(msgNoFreeMemory) == 21, "no-free-memory message");
static_assert(textChars(msgRunNotFinished) == 68, "run-not-finished message");
static_assert(textChars(msgLogNotWritten) == 58, "log-not-written message");

// The Windows programs' box for the same: the log file of an unattended run
// could not be opened or written.
constexpr char msgLogNotOpened[] = "Error of opening of QuarnelvistroLOG.txt file.";
constexpr char msgLogNotOpenedCaption[] = "Err";
