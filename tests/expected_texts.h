// The program's Russian texts as a reader sees them, turned into the bytes
// each build must produce: Windows-1251 in the Windows programs (their ANSI
// code page under Wine), UTF-8 in the native one. The tests state them
// readably and independently of the program's own tables.
#pragma once

#include <string>
#include <vector>

// Windows-1251 from 0x80 on, one character a byte (0x98, unassigned, as U+0098).
inline std::vector<std::string> cp1251High() {
    const std::string all =
        "ЂЃ‚ѓ„…†‡€‰Љ‹ЊЌЋЏђ‘’“”•–—\xC2\x98™љ›њќћџ\xC2\xA0ЎўЈ¤Ґ¦§Ё©Є«¬\xC2\xAD®Ї°±Ііґµ¶·ё№є»јЅѕї"
        "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";
    std::vector<std::string> chars;
    for (size_t i = 0; i < all.size(); i++)
        if ((all[i] & 0xC0) != 0x80) chars.push_back(std::string(1, all[i]));
        else chars.back() += all[i];
    return chars;
}

// UTF-8 text that Windows-1251 holds, as Windows-1251.
inline std::string cp1251(const std::string& utf8) {
    static const std::vector<std::string> high = cp1251High();
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        size_t k = 0;
        while ((unsigned char)utf8[i] >= 0x80 && k < high.size() && utf8.compare(i, high[k].size(), high[k])) k++;
        const bool ascii = (unsigned char)utf8[i] < 0x80;
        out += ascii ? utf8[i] : (char)(0x80 + k);
        i += ascii || k == high.size() ? 1 : high[k].size();
    }
    return out;
}

// Windows-1251 bytes as UTF-8.
inline std::string from1251(const std::string& bytes) {
    static const std::vector<std::string> high = cp1251High();
    std::string out;
    for (unsigned char b : bytes) out += b < 0x80 ? std::string(1, (char)b) : high[b - 0x80];
    return out;
}

// UTF-8 text of the Basic Multilingual Plane as UTF-16 LE bytes.
inline std::string utf16le(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned c = (unsigned char)utf8[i];
        if (c >= 0xE0) c = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F), i += 2;
        else if (c >= 0xC0) c = (c & 0x1F) << 6 | (utf8[i + 1] & 0x3F), i += 1;
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

// A text as the program holds it: in Windows-1251 on Windows, in UTF-8 natively.
inline std::string programText(const std::string& utf8) {
#ifdef _WIN32
    return cp1251(utf8);
#else
    return utf8;
#endif
}

// What the program makes of a list saved in Windows-1251: the bytes
// themselves on Windows, their characters in UTF-8 natively.
inline std::string programTextOf1251(const std::string& bytes) {
#ifdef _WIN32
    return bytes;
#else
    return from1251(bytes);
#endif
}

inline const std::string textNoList =
    programText("Ошибка при чтении файла Quarnelvistro.txt. Возможно, его нет.");
inline const std::string textNoMemory = programText("НЕТ ПАМЯТИ");
inline const std::string textRejectedHeader =
    programText("Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
                "Или пропущенные при отсутствии каталога назначения. :");
inline const std::string textNoAttributes = programText("Ошибка получения атрибутов файла. GetFileAttributesExA");
inline const std::string textNothingToCopy = programText("Нет существующих путей для копирования.");
inline const std::string textCopyFailed = programText("Ошибка при копировании файлов. error =  ");
inline const std::string textNotCopied = programText("Файлы, которые не удалось скопировать:");
inline const std::string textTooLong = programText("Слишком длинные пути назначения, файлы не скопированы:");
inline const std::string textCopyNoMemory = "\n" + textNoMemory + "\n";
