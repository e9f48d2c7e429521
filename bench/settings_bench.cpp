// Loading a policy file of about 5 MB, and merging a second one of the same
// size into it (half of its rules already present, half new), as a policy
// reload does.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "qorToolsLib/ConfigStore.h"

namespace {

constexpr int kRulesPerFile = 7500;

// Rules `first` to `first + count - 1` of a syslog rules table, each with
// the values, information pairs and responses a real rule has.
void FillRules(ConfigStore& store, int first, int count) {
    store.SetHeader("Generated policy");
    store.SetLong("config", "Timeout", 60);
    store.SetBool("config", "ScriptEnabled", true);
    char name[64];
    for (int i = first; i < first + count; ++i) {
        std::snprintf(name, sizeof name, "\\Advanced\\Rules\\SysLog Rules\\Rule %06d", i);
        std::string rule = name;
        store.SetBool(rule, "Enabled", i % 7 != 0);
        store.SetLong(rule, "Priority", 1 + i % 3);
        store.SetLong(rule, "Risk Level", 1 + i % 5);
        store.SetString(rule, "Alert Type", "UserAbnormalActivity");
        store.SetString(rule, "Log Type", i % 2 == 0 ? "Syslog" : "TextLog");
        store.SetString(rule, "Regular Expression",
                        "sshd\\[[0-9]+\\]: Failed password for (invalid user )?[^ ]+ from " +
                            std::to_string(i));
        store.SetBool(rule, "Ignore Case", true);
        store.SetBool(rule, "Except", false);
        store.SetString(rule, "Logs", "Auth log,_QorDefaultLogGroupName");
        store.SetString(rule + "\\Info", "User", "@Field5");
        store.SetString(rule + "\\Info", "Sender", "@Remote");
        store.SetBool(rule + "\\Response\\DISPLAY", "Enabled", true);
        store.SetString(rule + "\\Response\\DISPLAY", "Choice", "Default");
        store.SetBool(rule + "\\Response\\EMAIL", "Enabled", i % 4 == 0);
        store.SetString(rule + "\\Response\\EMAIL", "Choice", "Security team");
    }
}

class PolicyFiles {
public:
    PolicyFiles() {
        std::string base = plat::TempDirectory() + "settings_bench." + std::to_string(::getpid());
        m_first = base + ".first.policy";
        m_second = base + ".second.policy";
        ConfigStore first;
        FillRules(first, 0, kRulesPerFile);
        first.SaveFile(m_first, "", 1);
        ConfigStore second;
        FillRules(second, kRulesPerFile / 2, kRulesPerFile);
        second.SaveFile(m_second, "", 1);
        uint64_t size = 0;
        plat::GetPathSize(m_first.c_str(), size);
        m_size = static_cast<int64_t>(size);
    }
    ~PolicyFiles() {
        ::unlink(m_first.c_str());
        ::unlink(m_second.c_str());
    }

    const std::string& First() const { return m_first; }
    const std::string& Second() const { return m_second; }
    int64_t Size() const { return m_size; }

private:
    std::string m_first;
    std::string m_second;
    int64_t m_size = 0;
};

const PolicyFiles& Files() {
    static PolicyFiles files;
    return files;
}

// The store is freed outside the timed part: a reload frees the old policy
// after the new one is in place.
void BM_LoadPolicyFile(benchmark::State& state) {
    const PolicyFiles& files = Files();
    for (auto _ : state) {
        auto* store = new ConfigStore();
        if (store->LoadFile(files.First(), "", "", false) != 0) {
            state.SkipWithError("load failed");
        }
        state.PauseTiming();
        delete store;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * files.Size());
    state.counters["file_bytes"] = static_cast<double>(files.Size());
}
BENCHMARK(BM_LoadPolicyFile)->Unit(benchmark::kMillisecond);

void BM_MergePolicyFiles(benchmark::State& state) {
    const PolicyFiles& files = Files();
    for (auto _ : state) {
        state.PauseTiming();
        auto* store = new ConfigStore();
        store->LoadFile(files.First(), "", "", false);
        state.ResumeTiming();
        if (!store->UpdateFromFile(files.Second(), "", "")) {
            state.SkipWithError("merge failed");
        }
        state.PauseTiming();
        delete store;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * files.Size());
}
BENCHMARK(BM_MergePolicyFiles)->Unit(benchmark::kMillisecond);

void BM_SavePolicyFile(benchmark::State& state) {
    const PolicyFiles& files = Files();
    ConfigStore store;
    store.LoadFile(files.First(), "", "", false);
    std::string target = files.First() + ".saved";
    for (auto _ : state) {
        if (store.SaveFile(target, "", 1) != 0) {
            state.SkipWithError("save failed");
            break;
        }
    }
    ::unlink(target.c_str());
    state.SetBytesProcessed(state.iterations() * files.Size());
}
BENCHMARK(BM_SavePolicyFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
