// The program's Russian texts as a reader sees them, in UTF-8 as the program
// holds them, and the bytes its log must hold: Windows-1251 in the Windows
// programs, UTF-8 in the native one. The conversions are the system's (the
// code page calls on Windows, iconv natively), never the program's own.
#pragma once

#include <string>

#include "sandbox.h"

#ifdef _WIN32
// UTF-8 text that Windows-1251 holds, as Windows-1251.
inline std::string cp1251(const std::string& utf8) {
    const std::wstring wide = wideOf(utf8, CP_UTF8);
    std::string out(wide.size(), '\0');
    WideCharToMultiByte(1251, 0, wide.data(), (int)wide.size(), &out[0], (int)out.size(), NULL, NULL);
    return out;
}
// UTF-8 text as UTF-16 LE bytes.
inline std::string utf16le(const std::string& utf8) {
    const std::wstring wide = wideOf(utf8, CP_UTF8);
    return std::string((const char*)wide.data(), wide.size() * 2);
}
// UTF-8 text as UTF-16 BE bytes.
inline std::string utf16be(const std::string& utf8) {
    std::string out;
    for (wchar_t unit : wideOf(utf8, CP_UTF8)) out += {(char)(unit >> 8), (char)unit};
    return out;
}
// Windows-1251 bytes as UTF-8.
inline std::string from1251(const std::string& bytes) {
    const std::wstring wide = wideOf(bytes, 1251);
    std::string out(wide.size() * 3, '\0');
    out.resize((size_t)WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], (int)out.size(), NULL, NULL));
    return out;
}
#else
#include <iconv.h>

inline std::string iconvText(const std::string& text, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    std::string out(text.size() * 4, '\0');
    char *in = const_cast<char*>(text.data()), *at = &out[0];
    size_t inLeft = text.size(), outLeft = out.size();
    iconv(cd, &in, &inLeft, &at, &outLeft);
    iconv_close(cd);
    return out.substr(0, out.size() - outLeft);
}
inline std::string cp1251(const std::string& utf8) { return iconvText(utf8, "UTF-8", "CP1251"); }
inline std::string utf16le(const std::string& utf8) { return iconvText(utf8, "UTF-8", "UTF-16LE"); }
inline std::string utf16be(const std::string& utf8) { return iconvText(utf8, "UTF-8", "UTF-16BE"); }
// Windows-1251 bytes as UTF-8; 0x98, which it leaves unassigned, as U+0098, as Windows reads it.
inline std::string from1251(const std::string& bytes) {
    std::string out;
    for (char b : bytes) out += b == '\x98' ? "\xC2\x98" : iconvText(std::string(1, b), "CP1251", "UTF-8");
    return out;
}
#endif

// A log's bytes for a text in UTF-8 that Windows-1251 holds.
inline std::string logOf(const std::string& utf8) {
#ifdef _WIN32
    return cp1251(utf8);
#else
    return utf8;
#endif
}

inline const std::string textNoList = "Ошибка при чтении файла Quarnelvistro.txt. Возможно, его нет.";
inline const std::string textNoMemory = "НЕТ ПАМЯТИ";
inline const std::string textRejectedHeader =
    "Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
    "Или пропущенные при отсутствии каталога назначения. :";
inline const std::string textNoAttributes = "Ошибка получения атрибутов файла. GetFileAttributesExA";
inline const std::string textNothingToCopy = "Нет существующих путей для копирования.";
inline const std::string textCopyFailed = "Ошибка при копировании файлов. error =  ";
inline const std::string textInterrupted = "Копирование файлов прервано.";
inline const std::string textNotCopied = "Файлы, которые не удалось скопировать:";
inline const std::string textTooLong = "Слишком длинные пути назначения, файлы не скопированы:";
inline const std::string textRunNotFinished = "Запуск не завершён: резервная копия могла быть сделана не полностью.";
inline const std::string textLogNotWritten = "Не удалось открыть или записать файл QuarnelvistroLOG.txt.";
inline const std::string textCopyNoMemory = "\n" + textNoMemory + "\n";
