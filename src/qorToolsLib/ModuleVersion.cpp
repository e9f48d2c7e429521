#include "qorToolsLib/ModuleVersion.h"

#include <string_view>

#include "qorToolsLib/FileObject.h"
#include "qorToolsLib/QorSeException.h"

namespace {

// Program-file signatures the scan accepts: ELF and the older object and
// executable formats.
constexpr std::string_view kProgramMagics[] = {
    {"\x7F"
     "ELF",
     4},
    {"\x02\x10\x01\x08", 4},
    {"\x02\x10\x01\x0E", 4},
    {"\x01\xDF", 2},
    {"\x07\x01\x86", 3},
    {"\x08\x01\x86", 3},
    {"\x0B\x01\x86", 3},
    {"\xCC\x00\x86", 3},
};

constexpr std::string_view kMarkerStart = "@(#)";

struct MarkerKind {
    std::string_view m_tag;
    size_t m_nLimit;
};

constexpr MarkerKind kVersionMarker{"!QORVER!", 32};
constexpr MarkerKind kNameMarker{"!QORNAME!", 256};
constexpr MarkerKind kSpecialMarker{"!QORSPECIAL!", 256};

bool IsProgramFile(std::string_view bytes) {
    for (std::string_view magic : kProgramMagics) {
        if (bytes.substr(0, magic.size()) == magic) {
            return true;
        }
    }
    return false;
}

struct ScanResult {
    std::string m_sName, m_sVersion, m_sSpecial;
    bool m_bName = false, m_bVersion = false, m_bSpecial = false;
};

// Reads one "@(#)" block at `at` (just past the start marker).  Answers
// false when its text exceeds the kind's limit or is never closed.
bool ReadMarker(std::string_view bytes, size_t& at, ScanResult& result) {
    struct Slot {
        const MarkerKind* m_pKind;
        std::string* m_pText;
        bool* m_pFound;
    };
    const Slot slots[] = {{&kVersionMarker, &result.m_sVersion, &result.m_bVersion},
                          {&kNameMarker, &result.m_sName, &result.m_bName},
                          {&kSpecialMarker, &result.m_sSpecial, &result.m_bSpecial}};
    for (const Slot& slot : slots) {
        std::string_view tag = slot.m_pKind->m_tag;
        if (bytes.substr(at, tag.size()) != tag) {
            continue;
        }
        size_t textStart = at + tag.size();
        size_t close = bytes.find(tag, textStart);
        if (close == std::string_view::npos || close - textStart > slot.m_pKind->m_nLimit) {
            return false;
        }
        slot.m_pText->assign(bytes.substr(textStart, close - textStart));
        *slot.m_pFound = true;
        at = close + tag.size();
        return true;
    }
    return true;
}

std::string WithoutExtension(const std::string& path) {
    size_t dot = path.rfind('.');
    size_t separator = path.find_last_of("/\\");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) {
        return path;
    }
    return path.substr(0, dot);
}

}  // namespace

StatusCode ScanVersionMarkers(const char* path, std::string& productName, std::string& version,
                              std::string& specialBuild) {
    FileObject file;
    uint32_t status = file.OpenAndMap(path);
    if (status != 0) {
        return status;
    }
    std::string_view bytes(reinterpret_cast<const char*>(file.View()),
                           file.IsMapped() ? static_cast<size_t>(file.GetSize()) : 0);
    if (!IsProgramFile(bytes)) {
        return QOR_E_OPEN_FAILED;
    }
    ScanResult result;
    bool tooLong = false;
    try {
        // The file is read through its mapping: a file cut short by another
        // process while we scan turns the read into a processor fault, which
        // must end this scan, not the process.
        RunTranslated([&]() {
            size_t at = 0;
            while (!(result.m_bVersion && result.m_bName && result.m_bSpecial)) {
                size_t start = bytes.find(kMarkerStart, at);
                if (start == std::string_view::npos) {
                    break;
                }
                at = start + kMarkerStart.size();
                if (!ReadMarker(bytes, at, result)) {
                    tooLong = true;
                    break;
                }
            }
        });
    } catch (const QorSeException&) {
        return QOR_E_READ_FAULT;
    }
    if (tooLong) {
        return QOR_E_VERSION_TOO_LONG;
    }
    if (!result.m_bVersion && !result.m_bName && !result.m_bSpecial) {
        return QOR_E_OPEN_FAILED;
    }
    if (!result.m_bVersion || !result.m_bName) {
        return QOR_E_VERSION_TOO_LONG;
    }
    productName = result.m_sName;
    version = result.m_sVersion;
    specialBuild = result.m_sSpecial;
    return QOR_S_OK;
}

StatusCode GetModuleVersion(const char* path, std::string& productName, std::string& version,
                            std::string& specialBuild) {
    productName.clear();
    version.clear();
    specialBuild.clear();
    StatusCode status = ScanVersionMarkers(path, productName, version, specialBuild);
    if (status == QOR_E_OPEN_FAILED) {
        productName = WithoutExtension(path != nullptr ? path : "");
    }
    return status;
}
