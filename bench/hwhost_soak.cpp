// Soak driver for hwhost: holds each flood another account or a sender can
// make (bench/SoakFloods.h: files in a watched folder, deep folder chains
// under a recursive group, squatted shared names, a correlation rule with
// Info fed distinct values, scripted alerts above the script process's
// rate, a FIFO at a rotated alert file, a syslog flood, decoy connections, a
// replay) against the real host with the plug-in, one flood at a time, each
// on its own copy of the demo sensor root, for --minutes each (10 unless
// told).  Every interval it samples the host's open descriptors (entries of
// /proc/PID/fd), resident memory and threads; at the end of each flood it
// prints them at the start, in the second fifth of the flood (caches and
// queues filled) and in the last fifth (the highest of each), and whether
// each stayed flat from the one to the other, with what the host said of
// the bounds its input reached, and how long its stop took.  Both must stay
// flat.
//
// It runs in a network namespace of its own (so it needs root), which keeps
// ports 514, 23, 139 and 2323 to itself.  Alerts go to /dev/null (but for
// the FIFO flood, which names an alert file).
//
//   hwhost_soak [--hwhost PATH] [--demo DIR] [--floods files,chains,...]
//               [--minutes N] [--interval S] [--rate N] [--senders N] [--keep]

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostLoad.h"
#include "SoakFloods.h"

namespace fs = std::filesystem;

namespace {

using hwload::Fail;
using hwsoak::Clock;

struct Options {
    hwload::HostOptions m_host;
    std::string m_strDemo = std::string(HW_SOURCE_DIR) + "/examples/demo";
    std::vector<std::string> m_Floods;
    double m_dMinutes = 10;
    double m_dInterval = 10;
    hwsoak::SoakOptions m_soak;
};

struct Sample {
    double m_dSeconds = 0;
    uint64_t m_qwRssKb = 0;
    uint64_t m_qwDescriptors = 0;
    uint64_t m_qwThreads = 0;
};

uint64_t StatusValue(const std::string& status, const char* pszName) {
    const size_t at = status.find(std::string("\n") + pszName + ":");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + std::strlen(pszName) + 2, nullptr, 10);
}

uint64_t EntriesIn(const std::string& directory) {
    uint64_t count = 0;
    std::error_code ignored;
    for (auto it = fs::directory_iterator(directory, ignored); it != fs::directory_iterator(); it.increment(ignored)) {
        ++count;
    }
    return count;
}

Sample Measure(pid_t host, double seconds) {
    const std::string proc = "/proc/" + std::to_string(host);
    const std::string status = hwload::ReadText(proc + "/status");
    Sample sample;
    sample.m_dSeconds = seconds;
    sample.m_qwRssKb = StatusValue(status, "VmRSS");
    sample.m_qwThreads = StatusValue(status, "Threads");
    sample.m_qwDescriptors = EntriesIn(proc + "/fd");
    return sample;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    hwload::ParseOptions(
        argc, argv,
        {{"--demo", true, [&](const std::string& value) { options.m_strDemo = value; }},
         {"--floods", true,
          [&](const std::string& value) {
              std::stringstream list(value);
              for (std::string name; std::getline(list, name, ',');) {
                  options.m_Floods.push_back(name);
              }
          }},
         hwload::NumberOption("--minutes", options.m_dMinutes),
         hwload::NumberOption("--interval", options.m_dInterval),
         hwload::NumberOption("--rate", options.m_soak.m_qwRate),
         {"--senders", true,
          [&](const std::string& value) { options.m_soak.m_nSenders = std::max(1, std::atoi(value.c_str())); }}},
        options.m_host);
    if (options.m_dInterval <= 0 || options.m_soak.m_qwRate == 0 || options.m_dMinutes <= 0) {
        Fail("--interval, --rate and --minutes must be positive");
    }
    for (const std::string& name : options.m_Floods) {
        const auto& floods = hwsoak::Floods();
        if (std::none_of(floods.begin(), floods.end(), [&](const hwsoak::Flood& f) { return name == f.m_pszName; })) {
            Fail("no flood named " + name);
        }
    }
    return options;
}

// A copy of the demo root for one flood, its policy's root placeholder
// filled in and the flood's part added; reachable by other accounts, as a
// sensor root under /srv or /opt is.
std::string MakeRoot(const Options& options, const std::string& root, const hwsoak::Flood& flood,
                     hwsoak::FloodPlan& plan) {
    std::error_code failure;
    fs::copy(options.m_strDemo, root, fs::copy_options::recursive, failure);
    if (failure) {
        Fail("cannot copy " + options.m_strDemo + ": " + failure.message());
    }
    ::chmod(root.c_str(), 0755);
    flood.m_pfnPrepare(root, plan);
    std::string policy = hwload::ReadText(root + "/Default.policy");
    for (size_t at = policy.find("@SENSOR_ROOT@"); at != std::string::npos; at = policy.find("@SENSOR_ROOT@", at)) {
        policy.replace(at, 13, root);
    }
    policy += plan.m_strPolicy;
    FILE* file = std::fopen((root + "/Default.policy").c_str(), "wb");
    if (file == nullptr || std::fwrite(policy.data(), 1, policy.size(), file) != policy.size() || std::fclose(file) != 0) {
        Fail("cannot write the policy of " + root);
    }
    return root;
}

// The distinct "Bound reached: " lines the host said, each with the last
// count said, by the input and bound they name.
std::vector<std::string> BoundsSaid(const std::string& errors) {
    std::vector<std::string> said;
    std::set<std::string> seen;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("at the stop: Bound reached: ");
        if (at == std::string::npos) {
            continue;
        }
        const std::string bound = line.substr(at + 13);
        if (seen.insert(bound).second) {
            said.push_back(bound);
        }
    }
    return said;
}

// Up to `most` warnings the host gave on standard error besides its bounds,
// the first of each kind (told apart by their first 48 characters), and
// how often each kind came.
std::vector<std::string> Warnings(const std::string& errors, size_t most) {
    std::vector<std::string> kinds;
    std::vector<size_t> counts;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("WARNING: ", 0) != 0 || line.find("Bound reached: ") != std::string::npos) {
            continue;
        }
        const std::string kind = line.substr(0, 48);
        size_t i = 0;
        while (i < kinds.size() && kinds[i].compare(0, 48, kind) != 0) {
            ++i;
        }
        if (i == kinds.size()) {
            if (kinds.size() == most) {
                continue;
            }
            kinds.push_back(line.size() > 240 ? line.substr(0, 240) + "..." : line);
            counts.push_back(0);
        }
        ++counts[i];
    }
    for (size_t i = 0; i < kinds.size(); ++i) {
        kinds[i] += " (" + std::to_string(counts[i]) + " such)";
    }
    return kinds;
}

// The highest of each figure over the samples from `from` to `to` seconds
// (the last sample when none lies there).
Sample Highest(const std::vector<Sample>& samples, double from, double to) {
    Sample highest;
    bool bAny = false;
    for (const Sample& sample : samples) {
        if (sample.m_dSeconds >= from && sample.m_dSeconds <= to) {
            highest.m_qwRssKb = std::max(highest.m_qwRssKb, sample.m_qwRssKb);
            highest.m_qwDescriptors = std::max(highest.m_qwDescriptors, sample.m_qwDescriptors);
            bAny = true;
        }
    }
    return bAny ? highest : samples.back();
}

// "flat", or "GROWING" when `last` exceeds `base` by more than the allowance.
const char* Verdict(uint64_t base, uint64_t last, uint64_t allowance) {
    return last <= base + allowance ? "flat" : "GROWING";
}

// One flood against a host of its own; true when descriptors and memory
// stayed flat.
bool RunFlood(const Options& options, const std::string& scratch, const hwsoak::Flood& flood) {
    hwsoak::FloodPlan plan;
    const std::string root = MakeRoot(options, scratch + "/" + flood.m_pszName, flood, plan);
    std::vector<std::string> argv = {options.m_host.m_strHwhost, "run", "--root", root, "--log", hwload::LogPath(root)};
    argv.insert(argv.end(), plan.m_Arguments.begin(), plan.m_Arguments.end());
    const std::string errors = root + "/hwhost.err";
    const auto started = Clock::now();
    const pid_t host = hwload::StartHost(argv, "/dev/null", errors, plan.m_Environment);
    if (!hwload::WaitFor([&] { return hwload::ReadText(errors).find("hwhost: sensor started") != std::string::npos; },
                         120)) {
        ::kill(host, SIGTERM);
        Fail(std::string("the sensor did not start for the flood ") + flood.m_pszName + "; see " + root);
    }
    const double dStart = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("\n%s: %s (start-up %.1f s)\n", flood.m_pszName, flood.m_pszWhat, dStart);
    std::printf("%8s %10s %6s %8s\n", "seconds", "rss_kB", "fds", "threads");

    hwsoak::FloodRun run;
    run.m_strRoot = root;
    run.m_host = host;
    run.m_options = options.m_soak;
    const auto begin = Clock::now();
    run.m_deadline = begin + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.m_dMinutes * 60));
    std::thread holder([&] { flood.m_pfnHold(run); });
    std::vector<Sample> samples;
    for (auto next = begin;; next += std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.m_dInterval))) {
        std::this_thread::sleep_until(std::min(next, run.m_deadline));
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        samples.push_back(Measure(host, seconds));
        const Sample& s = samples.back();
        std::printf("%8.0f %10" PRIu64 " %6" PRIu64 " %8" PRIu64 "\n", s.m_dSeconds, s.m_qwRssKb, s.m_qwDescriptors,
                    s.m_qwThreads);
        std::fflush(stdout);
        if (Clock::now() >= run.m_deadline) {
            break;
        }
    }
    holder.join();

    const auto stopping = Clock::now();
    hwload::StopHost(host);
    const double dStop = std::chrono::duration<double>(Clock::now() - stopping).count();
    // The highest of the second fifth of the flood is the base (caches and
    // queues fill in the first), the highest of the last fifth the end:
    // an input that comes and goes moves both within its bound.
    const double fifth = options.m_dMinutes * 60 / 5;
    const Sample& first = samples.front();
    const Sample base = Highest(samples, fifth, 2 * fifth);
    const Sample last = Highest(samples, 4 * fifth, samples.back().m_dSeconds);
    // Memory may move by a few per cent (allocator arenas), descriptors by
    // what a flood has open at any moment.
    const char* pszRss =
        Verdict(base.m_qwRssKb, last.m_qwRssKb, std::max<uint64_t>(base.m_qwRssKb / 10, 4096));
    const char* pszFds =
        Verdict(base.m_qwDescriptors, last.m_qwDescriptors, std::max<uint64_t>(base.m_qwDescriptors / 10, 8));
    std::printf("%s: %s\n", flood.m_pszName, run.m_strNote.c_str());
    std::printf("%s: fds start %" PRIu64 ", second fifth %" PRIu64 ", end %" PRIu64 " -> %s; rss_kB start %" PRIu64
                ", second fifth %" PRIu64 ", end %" PRIu64 " -> %s; stop took %.1f s\n",
                flood.m_pszName, first.m_qwDescriptors, base.m_qwDescriptors, last.m_qwDescriptors, pszFds,
                first.m_qwRssKb, base.m_qwRssKb, last.m_qwRssKb, pszRss, dStop);
    const std::string said = hwload::ReadText(errors);
    const std::vector<std::string> bounds = BoundsSaid(said);
    if (bounds.empty()) {
        std::printf("%s: no bound reached was said\n", flood.m_pszName);
    }
    for (const std::string& bound : bounds) {
        std::printf("%s: said: %s\n", flood.m_pszName, bound.c_str());
    }
    for (const std::string& warning : Warnings(said, 3)) {
        std::printf("%s: warned: %s\n", flood.m_pszName, warning.c_str());
    }
    std::fflush(stdout);
    if (!options.m_host.m_bKeep) {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    return pszRss == std::string("flat") && pszFds == std::string("flat");
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const std::string scratch = hwload::EnterScratchNamespace("hwhost_soak");
    ::chmod(scratch.c_str(), 0755);
    std::printf("hwhost %s on copies of %s, %.1f minutes a flood, samples every %.0f s, senders at %" PRIu64
                "/s\n",
                options.m_host.m_strHwhost.c_str(), options.m_strDemo.c_str(), options.m_dMinutes,
                options.m_dInterval, options.m_soak.m_qwRate);
    std::vector<std::string> growing;
    for (const hwsoak::Flood& flood : hwsoak::Floods()) {
        if (!options.m_Floods.empty() &&
            std::find(options.m_Floods.begin(), options.m_Floods.end(), flood.m_pszName) == options.m_Floods.end()) {
            continue;
        }
        if (!RunFlood(options, scratch, flood)) {
            growing.push_back(flood.m_pszName);
        }
    }
    std::string list;
    for (const std::string& name : growing) {
        list += (list.empty() ? "" : ", ") + name;
    }
    std::printf("\n%s\n", growing.empty() ? "descriptors and memory flat under every flood"
                                          : ("GROWING under: " + list).c_str());
    hwload::FinishRoot(options.m_host, scratch);
    return growing.empty() ? 0 : 1;
}
