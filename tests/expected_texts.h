// The program's Russian texts as a reader sees them, turned into the
// Windows-1251 bytes the program must produce, so that the tests state them
// readably and independently of the program's own byte tables.
#pragma once

#include <string>

// UTF-8 holding ASCII and the letters А..я only, as Windows-1251.
inline std::string cp1251(const char* utf8) {
    std::string out;
    for (const unsigned char* p = (const unsigned char*)utf8; *p; p++) {
        if (*p < 0x80) {
            out += (char)*p;
        } else {
            unsigned letter = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
            out += (char)(letter - 0x410 + 0xC0);
            p++;
        }
    }
    return out;
}

inline const std::string textNoList =
    cp1251("Ошибка при чтении файла Quarnelvistro.txt. Возможно, его нет.");
inline const std::string textRejectedHeader =
    cp1251("Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
           "Или пропущенные при отсутствии каталога назначения. :");
inline const std::string textNoAttributes = cp1251("Ошибка получения атрибутов файла. GetFileAttributesExA");
inline const std::string textNothingToCopy = cp1251("Нет существующих путей для копирования.");
inline const std::string textCopyFailed = cp1251("Ошибка при копировании файлов. error =  ");
inline const std::string textNotCopied = cp1251("Файлы, которые не удалось скопировать:");
inline const std::string textTooLong = cp1251("Слишком длинные пути назначения, файлы не скопированы:");
inline const std::string textCopyNoMemory = cp1251("\nНЕТ ПАМЯТИ\n");
