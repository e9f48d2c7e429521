#include "docs/DocsTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace hwdocs {

namespace {

std::string Trim(const std::string& strText) {
    const size_t nStart = strText.find_first_not_of(" \t");
    if (nStart == std::string::npos) {
        return std::string();
    }
    const size_t nEnd = strText.find_last_not_of(" \t");
    return strText.substr(nStart, nEnd - nStart + 1);
}

std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> lines;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        lines.push_back(strLine);
    }
    return lines;
}

// The cells of a table row "| a | b |".
std::vector<std::string> Cells(const std::string& strRow) {
    std::vector<std::string> cells;
    std::string strRest = Trim(strRow);
    if (strRest.empty() || strRest.front() != '|') {
        return cells;
    }
    size_t nStart = 1;
    while (nStart < strRest.size()) {
        size_t nEnd = strRest.find('|', nStart);
        if (nEnd == std::string::npos) {
            break;
        }
        cells.push_back(Trim(strRest.substr(nStart, nEnd - nStart)));
        nStart = nEnd + 1;
    }
    return cells;
}

// The text between the first pair of backticks, or empty.
bool Quoted(const std::string& strCell, std::string& strText) {
    const size_t nOpen = strCell.find('`');
    const size_t nClose = nOpen == std::string::npos ? nOpen : strCell.find('`', nOpen + 1);
    if (nClose == std::string::npos) {
        return false;
    }
    strText = strCell.substr(nOpen + 1, nClose - nOpen - 1);
    return true;
}

std::vector<std::string> MarkerPaths(const std::string& strLine, const std::string& strMarker) {
    std::string strText = strLine.substr(strLine.find(strMarker) + strMarker.size());
    strText = strText.substr(0, strText.find("-->"));
    std::vector<std::string> paths;
    std::istringstream in(strText);
    std::string strPath;
    while (std::getline(in, strPath, '|')) {
        if (!Trim(strPath).empty()) {
            paths.push_back(Trim(strPath));
        }
    }
    return paths;
}

const char* KindWord(int nKind) {
    switch (nKind) {
        case 1:
            return "text";
        case 2:
            return "number";
        case 3:
            return "flag";
        default:
            return "test";
    }
}

bool FitsAnyPath(const DocumentedKey& key, const std::string& strPath) {
    return std::any_of(key.m_paths.begin(), key.m_paths.end(), [&](const std::string& strPattern) {
        return PathFits(strPattern, strPath);
    });
}

void ExpectDocumentedKeyRead(const DocumentedKey& key, const std::vector<KeyRead>& reads,
                             const std::vector<std::string>& listings) {
    SCOPED_TRACE(key.m_strFile + ": " + key.m_paths.front() + " \"" + key.m_strName + "\"");
    if (key.m_strName == "*") {
        EXPECT_TRUE(std::any_of(listings.begin(), listings.end(), [&](const std::string& strPath) {
            return FitsAnyPath(key, strPath);
        })) << "no reader lists the values of this key";
        return;
    }
    std::set<std::string> kinds;
    std::set<std::string> defaults;
    for (const KeyRead& read : reads) {
        if (FitsAnyPath(key, read.m_strPath) && NameFits(key.m_strName, read.m_strName)) {
            kinds.insert(KindWord(read.m_nWanted));
            defaults.insert(read.m_strDefault);
        }
    }
    if (kinds.empty()) {
        ADD_FAILURE() << "documented, but no reader asks for it";
        return;
    }
    EXPECT_EQ(1u, kinds.count(key.m_strKind)) << "read as " << *kinds.begin();
    if (key.m_bDefaultGiven) {
        EXPECT_EQ(1u, defaults.count(key.m_strDefault))
            << "documented default \"" << key.m_strDefault << "\", read with \""
            << *defaults.begin() << "\"";
    }
}

}  // namespace

void ExpectDocumentedAsRead(const std::vector<DocumentedKey>& documented,
                            const std::vector<KeyRead>& reads,
                            const std::vector<std::string>& listings) {
    for (const DocumentedKey& key : documented) {
        ExpectDocumentedKeyRead(key, reads, listings);
    }
    for (const KeyRead& read : reads) {
        const bool bDocumented =
            std::any_of(documented.begin(), documented.end(), [&](const DocumentedKey& key) {
                return FitsAnyPath(key, read.m_strPath) && NameFits(key.m_strName, read.m_strName);
            });
        EXPECT_TRUE(bDocumented) << "read but not documented: " << read.m_strPath << " \""
                                 << read.m_strName << "\" (" << KindWord(read.m_nWanted)
                                 << ", default \"" << read.m_strDefault << "\")";
    }
}

std::vector<std::string> DocumentFiles() {
    const fs::path source(HW_SOURCE_DIR);
    std::vector<std::string> files{(source / "README.md").string()};
    std::vector<std::string> docs;
    for (const auto& entry : fs::directory_iterator(source / "docs")) {
        if (entry.path().extension() == ".md") {
            docs.push_back(entry.path().string());
        }
    }
    std::sort(docs.begin(), docs.end());
    files.insert(files.end(), docs.begin(), docs.end());
    return files;
}

std::vector<DocumentedKey> ReadKeyTables(const char* pszMarker) {
    const std::string strMarker = std::string("<!-- ") + pszMarker + ":";
    std::vector<DocumentedKey> keys;
    for (const std::string& strFile : DocumentFiles()) {
        const std::vector<std::string> lines = Lines(hwtest::ReadWholeFile(strFile));
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(strMarker) == std::string::npos) {
                continue;
            }
            const std::vector<std::string> paths = MarkerPaths(lines[i], strMarker);
            size_t nRow = i + 1;
            while (nRow < lines.size() && Trim(lines[nRow]).empty()) {
                ++nRow;
            }
            // The header and the separator line come first.
            for (nRow += 2; nRow < lines.size() && !Cells(lines[nRow]).empty(); ++nRow) {
                const std::vector<std::string> cells = Cells(lines[nRow]);
                if (cells.size() < 3) {
                    continue;
                }
                DocumentedKey key;
                key.m_strFile = fs::path(strFile).filename().string();
                key.m_paths = paths;
                key.m_strKind = cells[1];
                if (Quoted(cells[2], key.m_strDefault)) {
                    key.m_bDefaultGiven = true;
                } else if (cells[2] == "empty") {
                    key.m_bDefaultGiven = true;
                }
                // A row may name several keys, each in backticks.
                std::string strNames = cells[0];
                std::string strName;
                if (!Quoted(strNames, strName)) {
                    key.m_strName = "*";
                    keys.push_back(key);
                    continue;
                }
                while (Quoted(strNames, strName)) {
                    key.m_strName = strName;
                    keys.push_back(key);
                    strNames = strNames.substr(strNames.find('`', strNames.find('`') + 1) + 1);
                }
            }
        }
    }
    return keys;
}

std::vector<CodeBlock> ReadCodeBlocks() {
    std::vector<CodeBlock> blocks;
    for (const std::string& strFile : DocumentFiles()) {
        const std::vector<std::string> lines = Lines(hwtest::ReadWholeFile(strFile));
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].compare(0, 3, "```") != 0) {
                continue;
            }
            CodeBlock block;
            block.m_strFile = fs::path(strFile).filename().string();
            block.m_strLanguage = Trim(lines[i].substr(3));
            const std::string strMarker = "<!-- alert: ";
            if (i > 0 && lines[i - 1].compare(0, strMarker.size(), strMarker) == 0) {
                const std::string strRest = lines[i - 1].substr(strMarker.size());
                block.m_strAlert = Trim(strRest.substr(0, strRest.find("-->")));
            }
            for (++i; i < lines.size() && lines[i].compare(0, 3, "```") != 0; ++i) {
                block.m_strText += lines[i] + "\n";
            }
            blocks.push_back(block);
        }
    }
    return blocks;
}

std::vector<std::string> ListedMessages() {
    std::vector<std::string> messages;
    const fs::path page = fs::path(HW_SOURCE_DIR) / "docs/troubleshooting.md";
    for (const std::string& strLine : Lines(hwtest::ReadWholeFile(page.string()))) {
        if (strLine.compare(0, 3, "| `") != 0) {
            continue;
        }
        // The first cell ends at the first "|" outside backticks.
        bool bQuoted = false;
        std::string strSpan;
        for (size_t i = 1; i < strLine.size(); ++i) {
            const char c = strLine[i];
            if (c == '`') {
                if (bQuoted) {
                    messages.push_back(strSpan);
                    strSpan.clear();
                }
                bQuoted = !bQuoted;
            } else if (bQuoted) {
                strSpan += c;
            } else if (c == '|') {
                break;
            }
        }
    }
    return messages;
}

bool IsListedMessage(const std::string& strMessage, const std::vector<std::string>& listed) {
    for (const std::string& strListed : listed) {
        std::string strPattern = "^";
        for (size_t i = 0; i < strListed.size();) {
            const bool bWordStart = i == 0 || !std::isalnum(static_cast<unsigned char>(strListed[i - 1]));
            size_t nEnd = i;
            while (nEnd < strListed.size() && std::isupper(static_cast<unsigned char>(strListed[nEnd]))) {
                ++nEnd;
            }
            const bool bWordEnd =
                nEnd == strListed.size() || !std::isalnum(static_cast<unsigned char>(strListed[nEnd]));
            if (nEnd > i && bWordStart && bWordEnd) {
                strPattern += "[\\s\\S]+";
                i = nEnd;
            } else if (strListed.compare(i, 3, "...") == 0) {
                strPattern += "[\\s\\S]*";
                i += 3;
            } else {
                const char c = strListed[i++];
                if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
                    strPattern += '\\';
                }
                strPattern += c;
            }
        }
        if (std::regex_search(strMessage, std::regex(strPattern))) {
            return true;
        }
    }
    return false;
}

bool PathFits(const std::string& strPattern, const std::string& strPath) {
    auto split = [](const std::string& strText) {
        std::vector<std::string> names;
        std::istringstream in(strText);
        std::string strName;
        while (std::getline(in, strName, '\\')) {
            if (!strName.empty()) {
                names.push_back(strName);
            }
        }
        return names;
    };
    const std::vector<std::string> pattern = split(strPattern);
    const std::vector<std::string> path = split(strPath);
    if (pattern.size() != path.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != "*" && pattern[i] != path[i]) {
            return false;
        }
    }
    return true;
}

bool NameFits(const std::string& strDocumented, const std::string& strName) {
    const size_t nAt = strDocumented.find("<n>");
    if (nAt == std::string::npos) {
        return strDocumented == strName;
    }
    const std::string strHead = strDocumented.substr(0, nAt);
    const std::string strTail = strDocumented.substr(nAt + 3);
    if (strName.size() <= strHead.size() + strTail.size() ||
        strName.compare(0, strHead.size(), strHead) != 0 ||
        strName.compare(strName.size() - strTail.size(), strTail.size(), strTail) != 0) {
        return false;
    }
    const std::string strNumber =
        strName.substr(strHead.size(), strName.size() - strHead.size() - strTail.size());
    return strNumber.find_first_not_of("0123456789") == std::string::npos;
}

std::string BlockHolding(const std::string& strFile, const std::string& strMarker) {
    for (const CodeBlock& block : ReadCodeBlocks()) {
        if (std::filesystem::path(block.m_strFile).filename() == strFile &&
            block.m_strText.find(strMarker) != std::string::npos) {
            return block.m_strText;
        }
    }
    return "";
}

std::string AsPolicyLines(const std::string& strBlock) {
    std::istringstream in(strBlock);
    std::string strText;
    for (std::string strLine; std::getline(in, strLine);) {
        if (!strLine.empty()) {
            strText += strLine + "\r\n";
        }
    }
    return strText;
}

}  // namespace hwdocs
