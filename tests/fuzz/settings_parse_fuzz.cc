// Any bytes as a settings file: loaded whole, by exact and by prefix
// section, merged as an update, every value decoded as binary text, saved
// and loaded again.  None of it may crash or read out of bounds, a file the
// store wrote must load, and one the strict reader took must be taken
// again once written, loaded and merged.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

std::string ScratchFile(const char* suffix) {
    return plat::TempDirectory() + "settings_fuzz." + std::to_string(::getpid()) + "." + suffix;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::abort();
    }
    // An empty input may come as a null pointer, which fwrite must not see.
    if (size != 0 && std::fwrite(data, 1, size, out) != size) {
        std::abort();
    }
    std::fclose(out);
}

size_t DecodeEverything(ConfigStore& store, ConfigNode* key, const std::string& path) {
    size_t total = 0;
    std::vector<uint8_t> bytes;
    for (const ConfigNode* value : key->GetValues()) {
        if (store.GetBinary(path, value->GetName(), bytes)) {
            total += bytes.size();
        }
    }
    for (ConfigNode* child : key->GetChildren()) {
        total += DecodeEverything(store, child, child->GetFullPath());
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = ScratchFile("in");
    static const std::string saved = ScratchFile("out");
    WriteInput(input, data, size);

    // Any bytes load; a file that cannot even be opened (refused by the
    // readers' checks, say) would leave every step below testing nothing.
    ConfigStore whole;
    if (whole.LoadFile(input, "", "", false) != 0 && whole.GetStatus() == QOR_E_SETTINGS_FILE) {
        std::abort();
    }
    ConfigStore exact;
    exact.LoadFile(input, "\\a\\", "\\base", false);
    ConfigStore prefix;
    prefix.LoadFile(input, "\\", "", true);
    whole.UpdateFromFile(input, "", "");
    exact.UpdateFromFile(input, "\\a", "");

    size_t total = DecodeEverything(whole, whole.GetRoot(), "");
    total += whole.DumpKey("", true, true).size();
    if (whole.SaveFile(saved, "", 1) != 0) {
        std::abort();
    }
    ConfigStore again;
    if (again.LoadFile(saved, "", "", false) != 0) {
        std::abort();
    }

    // A file taken whole by the strict reader is written so that it is
    // taken whole again.
    ConfigStore strict;
    strict.SetStrictReading(true);
    if (strict.LoadFile(input, "", "", false) == 0) {
        if (strict.SaveFile(saved, "", 1) != 0) {
            std::abort();
        }
        ConfigStore strictAgain;
        strictAgain.SetStrictReading(true);
        if (strictAgain.LoadFile(saved, "", "", false) != 0 ||
            !strictAgain.UpdateFromFile(saved, "", "")) {
            std::abort();
        }
    }
    ::unlink(saved.c_str());
    ::unlink(input.c_str());
    return total == SIZE_MAX ? 1 : 0;
}
