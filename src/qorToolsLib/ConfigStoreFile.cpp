// The settings store's text file: loading (whole, one section, or only the
// values still missing), saving through "<file>.newupdate", and the 6-bit
// text form of binary values.

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <map>
#include <sstream>

#include "platform/DurableFile.h"
#include "platform/LastError.h"
#include "platform/SettingsText.h"
#include "qorToolsLib/ConfigStore.h"
#include "qorToolsLib/QORError.h"

namespace {

// The library reports a read that broke off as this status.
constexpr StatusCode kReadBrokeOff = 0xC7210001u;
constexpr char kTempSuffix[] = ".newupdate";
constexpr char kBinaryAlphabet[] =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
// A text line break after the 62nd character of a binary value, then after
// every 70th.
constexpr int kFirstBinaryLine = 62;
constexpr int kBinaryLine = 70;
constexpr uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<uint8_t, 256> MakeBinaryDecoder() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = kNotInAlphabet;
    }
    for (uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kBinaryAlphabet[i])] = i;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kBinaryDecoder = MakeBinaryDecoder();

// A write failure worded as a library status, so the caller learns why
// (a full disk, no access); anything without one of its own reads as
// "cannot be created".
StatusCode WriteFailureStatus(uint32_t error) {
    StatusCode status = QORError::NormalizeStatus(error);
    bool library = (status & 0xC0000000u) == 0xC0000000u && QorFacility(status) == 0x721;
    return library ? status : QOR_E_SETTINGS_FILE;
}

}  // namespace

// Applies the lines of one file to the store.  The key of the current
// section is looked up once per section rather than once per value line;
// nothing else changes the tree while a file is read.
class ConfigStore::FileReader final : public plat::SettingsTextHandler {
public:
    FileReader(ConfigStore& store, const std::string& section, const std::string& basePath,
               bool prefix, bool update)
        : m_store(store),
          m_section(section),
          m_base(basePath),
          m_prefix(prefix || update),
          m_update(update),
          m_accepting(section.empty()),
          m_current(basePath) {}

    bool OnSection(const std::string& line) override { return OnSectionAt(line, 0); }

    bool OnSectionAt(const std::string& line, size_t lineNumber) override {
        std::string_view inner(line);
        inner = inner.size() >= 2 ? inner.substr(1, inner.size() - 2) : std::string_view();
        if (!m_section.empty()) {
            if (m_prefix) {
                m_accepting = line.compare(1, m_section.size(), m_section) == 0;
            } else {
                // An exact section ends at the next section line.
                if (m_accepting) {
                    return false;
                }
                m_accepting = inner == m_section;
            }
        }
        m_current.assign(m_base).append(inner);
        m_key = nullptr;
        m_keyKnown = false;
        if (m_accepting) {
            NoteSection(lineNumber);
        }
        if (m_accepting && !m_update) {
            m_key = m_store.CreateKey(m_current);
            m_keyKnown = true;
        }
        return true;
    }

    void OnValueLine(const std::string& line) override {
        if (!m_accepting || !plat::SplitSettingsValueLine(line, m_name, m_letter, m_text, &m_written)) {
            return;
        }
        if (!m_keyKnown) {
            m_key = m_update ? m_store.FindKey(m_current) : m_store.CreateKey(m_current);
            m_keyKnown = m_key != nullptr || !m_update;
        }
        if (m_update) {
            bool exists = m_key != nullptr && m_key->FindValue(m_name) != nullptr;
            if ((m_text.empty() && m_letter != 'S') || exists) {
                return;
            }
        }
        switch (m_letter) {
            case 'S':
                // Blanks around a text are not kept; a reader to whom they
                // would have mattered can say so (ConfigStore::GetWrittenText).
                Set(ConfigValue::kText, [&](ConfigValue& v) {
                    v.SetString(m_text);
                    v.SetNote(DroppedBlanks());
                });
                break;
            case 'L':
                if (!m_text.empty()) {
                    int32_t number = plat::ParseSettingsLong(m_text);
                    Set(ConfigValue::kLong, [&](ConfigValue& v) { v.SetLong(number); });
                }
                break;
            case 'B': {
                bool flag = plat::ParseSettingsBool(m_text);
                Set(ConfigValue::kBool, [&](ConfigValue& v) { v.SetBool(flag); });
                break;
            }
            default:
                break;
        }
    }

private:
    // The blanks the text lost before and after it, as a value's note keeps
    // them ("<before>|<after>"; empty when it lost none).
    std::string DroppedBlanks() const {
        if (m_written.empty()) {
            return std::string();
        }
        const size_t nBefore = static_cast<size_t>(
            std::find_if_not(m_written.begin(), m_written.end(), plat::IsSettingsSpace) - m_written.begin());
        return m_written.substr(0, nBefore) + "|" + m_written.substr(std::min(m_written.size(), nBefore + m_text.size()));
    }

    // A section given again in the file is kept to be said: its values go
    // into the key the first one made, so they may quietly replace that
    // one's.
    void NoteSection(size_t lineNumber) {
        auto [it, bFirst] = m_sectionLines.emplace(KeyPathOf(m_current), lineNumber);
        if (bFirst) {
            return;
        }
        if (m_store.m_repeatedSections.size() < kMaxRepeatedSections) {
            m_store.m_repeatedSections.push_back({it->first, it->second, lineNumber});
        } else {
            ++m_store.m_nRepeatedLeftOut;
        }
    }

    template <typename Assign>
    void Set(int type, Assign assign) {
        // An update creates a section's key only when it adds a value there.
        if (m_key == nullptr) {
            m_key = m_store.CreateKey(m_current);
            m_keyKnown = true;
        }
        SetOnKey(m_key, m_name, type, assign);
    }

    ConfigStore& m_store;
    const std::string& m_section;
    const std::string& m_base;
    bool m_prefix;
    bool m_update;
    bool m_accepting;
    std::string m_current;
    ConfigKey* m_key = nullptr;
    bool m_keyKnown = false;
    // Each section of the file by the key it names, with the line of its
    // first section line.
    std::map<std::string, size_t> m_sectionLines;
    std::string m_name;
    char m_letter = 0;
    std::string m_text;
    std::string m_written;
};

int32_t ConfigStore::LoadFile(const std::string& fileName, const std::string& section,
                              const std::string& basePath, bool prefix) {
    m_nErrorClass = kNoError;
    m_status = QOR_S_OK;
    if (fileName.empty()) {
        m_nErrorClass = kReadError;
        m_status = QOR_E_NO_FILE_NAME;
        m_strReadProblem = "no file name";
        return 1;
    }
    int32_t result = 0;
    ReadTextFile(fileName, &result, false, section, basePath, prefix);
    return result;
}

bool ConfigStore::UpdateFromFile(const std::string& fileName, const std::string& section,
                                 const std::string& basePath) {
    m_nErrorClass = kNoError;
    m_status = QOR_S_OK;
    int32_t result = 0;
    ReadTextFile(fileName, &result, true, section, basePath, true);
    return result == 0;
}

// The common part of both readers.  A file that cannot be read to its end
// is a failure for both (not a success with what was read so far).
void ConfigStore::ReadTextFile(const std::string& fileName, int32_t* result, bool update,
                               const std::string& section, const std::string& basePath,
                               bool prefix) {
    m_strReadProblem.clear();
    m_repeatedSections.clear();
    m_nRepeatedLeftOut = 0;
    std::string text;
    std::string why;
    plat::FileStep step = plat::FileStep::kNone;
    uint32_t error = plat::ReadWholeFile(fileName, text, &step,
                                         m_bStrictReading ? kStrictFileCap : UINT64_MAX, &why);
    if (error != 0 && step == plat::FileStep::kOpen) {
        m_nErrorClass = kReadError;
        m_status = QOR_E_SETTINGS_FILE;
        // A refused file is named with what is there and whose it is.
        m_strReadProblem = error == plat::kErrAccessDenied ? why : "cannot be opened";
        *result = 1;
        return;
    }
    if (error == 0 && m_bStrictReading && text.size() > kStrictFileCap) {
        m_nErrorClass = kReadError;
        m_status = QOR_E_INVALID_DATA;
        m_strReadProblem = OverCapProblem();
        *result = 1;
        return;
    }
    const plat::SettingsFirstLine firstLine =
        update ? plat::SettingsFirstLine::kSkip : plat::SettingsFirstLine::kHeaderUnlessSection;
    bool complete = error == 0;
    if (complete) {
        try {
            plat::StripDiskText(text);
            plat::SettingsTextProblem problem;
            if (m_bStrictReading && !plat::CheckSettingsText(text, firstLine, problem)) {
                m_nErrorClass = kReadError;
                m_status = QOR_E_INVALID_DATA;
                m_strReadProblem = plat::DescribeSettingsProblem(problem);
                *result = 1;
                return;
            }
        } catch (const std::exception&) {
            complete = false;
        }
    }
    if (!update && m_strFileName.empty()) {
        m_strFileName = fileName;
    }
    if (complete) {
        try {
            FileReader reader(*this, section, basePath, prefix, update);
            plat::ReadSettingsText(std::move(text), firstLine, update ? nullptr : &m_strHeader,
                                   reader);
        } catch (const std::exception&) {
            complete = false;
        }
    }
    if (!complete) {
        m_nErrorClass = kReadError;
        m_status = kReadBrokeOff;
        m_strReadProblem = "cannot be read to its end";
    }
    *result = complete ? 0 : 1;
}

std::vector<std::string> ConfigStore::DescribeRepeatedSections(const std::string& file,
                                                               bool bMerged) const {
    std::vector<std::string> lines;
    for (const RepeatedSection& repeated : m_repeatedSections) {
        const std::string line = std::to_string(repeated.m_nLine);
        const std::string first = std::to_string(repeated.m_nFirstLine);
        lines.push_back(file + " line " + line + ": the section [" + repeated.m_strPath +
                        "] is given a second time (first at line " + first + "): " +
                        (bMerged ? "its values are merged into the same key, where a value "
                                   "given in both keeps the one at line " + first
                                 : "its values are read into the same key, where a value given "
                                   "in both takes the one at line " + line));
    }
    if (m_nRepeatedLeftOut > 0) {
        lines.push_back(file + ": " +
                        (m_nRepeatedLeftOut == 1 ? std::string("1 more section is")
                                                 : std::to_string(m_nRepeatedLeftOut) + " more sections are") +
                        " given a second time");
    }
    return lines;
}

std::string ConfigStore::OverCapProblem() {
    return "is larger than the " + std::to_string(kStrictFileCap >> 20) +
           " MiB a policy file may hold";
}

int32_t ConfigStore::SaveFile(const std::string& fileName, const std::string& keyPath,
                              int32_t /*unused*/) {
    if (fileName.empty()) {
        m_nErrorClass = kWriteError;
        m_status = QOR_E_NO_FILE_NAME;
        m_strWriteProblem = "no file name";
        return 1;
    }
    m_nErrorClass = kNoError;
    m_status = QOR_S_OK;
    m_strWriteProblem.clear();
    std::string disk;
    try {
        std::ostringstream out;
        if (!m_strHeader.empty()) {
            out << m_strHeader << '\n';
        }
        ConfigKey* key = keyPath.empty() ? nullptr : FindKey(keyPath);
        ConfigNode* top = key != nullptr ? static_cast<ConfigNode*>(key) : m_pRoot;
        WriteKey(top, out, key);
        // A "volatile" key leaves nothing of itself; the file still holds
        // the section line of an empty store, so that it is not taken for
        // one cut short after its title.
        if (top != nullptr && top->GetName() == "volatile") {
            std::string root;
            plat::AppendSettingsSection(root, "\\");
            out << root;
        }
        plat::AppendDiskText(disk, out.str());
    } catch (const std::exception&) {
        m_nErrorClass = kWriteError;
        m_status = QOR_E_NO_MEMORY;
        m_strWriteProblem = "out of memory";
        return 1;
    }
    plat::FileStep step = plat::FileStep::kNone;
    const std::string tempName = fileName + kTempSuffix;
    uint32_t error = plat::ReplaceFileDurably(fileName, tempName, disk, &step, &m_strWriteProblem);
    if (error != 0) {
        m_nErrorClass = kWriteError;
        m_status = step == plat::FileStep::kOpen ? QOR_E_SETTINGS_FILE : WriteFailureStatus(error);
        if (m_strWriteProblem.empty()) {
            const char* pszStep = step == plat::FileStep::kOpen    ? "cannot make "
                                  : step == plat::FileStep::kWrite ? "cannot write "
                                                                   : "cannot move into place ";
            std::string reason = GetSystemErrorText(error);
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                       reason.back() == '.' || reason.back() == ' ')) {
                reason.pop_back();
            }
            m_strWriteProblem = pszStep + tempName + " (" +
                                (reason.empty() ? "error " + std::to_string(error) : reason) + ")";
        }
        return 1;
    }
    return 0;
}

int ConfigStore::WriteKey(ConfigNode* key, std::ostream& out, ConfigNode* base) {
    if (key == nullptr || key->GetName() == "volatile") {
        return 0;
    }
    std::string line;
    plat::AppendSettingsSection(line, key->PathFrom(base));
    out << line;
    out.flush();
    for (const ConfigNode* node : key->GetValues()) {
        if (!node->IsValue() || node->GetName() == "SMessage") {
            continue;
        }
        const auto& value = static_cast<const ConfigValue&>(*node);
        line.clear();
        if (value.GetType() == ConfigValue::kPointer) {
            char pointer[32];
            std::snprintf(pointer, sizeof pointer, "%p", value.Pointer());
            line = value.GetName() + "\t=P\t" + pointer + ";\n";
        } else if (value.GetType() != ConfigValue::kUnset) {
            value.GetLineText(line, false, true);
        }
        out << line;
        out.flush();
    }
    for (ConfigNode* child : key->GetChildren()) {
        WriteKey(child, out, base);
    }
    return 0;
}

int ConfigStore::SetBinary(const std::string& path, const std::string& name, const void* bytes,
                           uint32_t length) {
    if (bytes == nullptr && length != 0) {
        return 0;
    }
    const auto* data = static_cast<const uint8_t*>(bytes);
    std::string text;
    text.reserve(length * 4 / 3 + length / 35 + 4);
    uint32_t accumulator = 0;
    int bits = 0;
    int countdown = kFirstBinaryLine;
    for (uint32_t i = 0; i < length; ++i) {
        accumulator |= static_cast<uint32_t>(data[i]) << bits;
        bits += 8;
        while (bits >= 6) {
            text += kBinaryAlphabet[accumulator & 0x3F];
            accumulator >>= 6;
            bits -= 6;
            if (--countdown == 0) {
                text += "\n\t";
                countdown = kBinaryLine;
            }
        }
    }
    if (bits > 0) {
        text += kBinaryAlphabet[accumulator & 0x3F];
    }
    return SetText(path, name, text.c_str());
}

bool ConfigStore::GetBinary(const std::string& path, const std::string& name,
                            std::vector<uint8_t>& bytes) {
    std::string text = GetString(path, name, std::string());
    if (text.empty()) {
        return false;
    }
    bytes.clear();
    bytes.reserve(text.size() * 3 / 4);
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        if (plat::IsSettingsSpace(c)) {
            continue;
        }
        uint8_t group = kBinaryDecoder[static_cast<unsigned char>(c)];
        // A character outside the alphabet means the text is not a binary
        // value; its bytes would be garbage.
        if (group == kNotInAlphabet) {
            bytes.clear();
            return false;
        }
        accumulator |= static_cast<uint32_t>(group) << bits;
        bits += 6;
        if (bits > 7) {
            bytes.push_back(static_cast<uint8_t>(accumulator & 0xFF));
            accumulator >>= 8;
            bits -= 8;
        }
    }
    return true;
}
