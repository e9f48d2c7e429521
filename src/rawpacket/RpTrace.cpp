#include "rawpacket/RpTrace.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/Console.h"
#include "platform/Environment.h"

namespace rp {
namespace {

constexpr const char* kLevelNames[] = {"FATAL: ", "ALERT: ", "ERROR: ", "WARN: ", "MAJOR: ",
                                       "MINOR: ", "FLOW: ",  "DEBUG: ", "FUNC: ",  "NOTSET: "};

constexpr const char* kEventNames[] = {
    "EV_DRV_OPENED: ",          "EV_DRV_STARTED: ",     "EV_DRV_STOPPED: ",
    "EV_DRV_PACKET_RECV: ",     "EV_DRV_PACKET_SENT: ", "EV_DRV_CAPTUREBUF_CREATED: ",
    "EV_DRV_INITIALIZED: ",     "EV_DRV_TERMINATED: ",  "EV_DRV_DLL_LOADED: ",
    "EV_DRV_DLL_UNLOADED: ",    "EV_DRV_DIAGNOSTIC_STARTED: ",
};

// The level is read on every trace call from any thread; the rest is set up
// once before capture starts.
std::atomic<int> g_nLevel{0};
bool g_bInitialised = false;
std::ostream* g_pStream = nullptr;
std::string g_strPrefix = "qorRawPkt: ";

}  // namespace

void initTrace(int level, std::ostream* stream, const char* prefix) {
    g_nLevel = level < 0 ? 200 : level;
    if (stream != nullptr) {
        g_pStream = stream;
    }
    if (prefix != nullptr) {
        g_strPrefix = prefix;
    }
    std::string environment;
    if (plat::GetEnvironmentText("QOR_TRACE_LEVEL", environment)) {
        // Without "rp=" the level stays as it is.
        size_t at = environment.find("rp=");
        if (at != std::string::npos) {
            int value = std::atoi(environment.c_str() + at + 3);
            if (value > 0) {
                g_nLevel = value;
            }
        }
        if (g_pStream != nullptr) {
            *g_pStream << "qorRawPkt: Initializing trace" << ": Level=" << g_nLevel.load()
                       << ": Environment=" << environment << "\n";
        }
    }
    g_bInitialised = true;
}

void setTraceStream(std::ostream* stream) {
    if (stream != nullptr) {
        g_pStream = stream;
    }
}

std::ostream* traceStream() { return g_pStream; }
int traceLevel() { return g_nLevel.load(std::memory_order_relaxed); }
void setTraceLevel(int level) { g_nLevel = level; }
const std::string& tracePrefix() { return g_strPrefix; }

const char* levelName(int level) {
    if (level < 0) {
        level = 0;
    }
    if (level > 998) {
        level = 998;
    }
    return kLevelNames[(level + 1) / 100];
}

const char* eventName(int code) {
    if (code < 101 || code > 111) {
        return "";
    }
    return kEventNames[code - 101];
}

void traceAt(int level, std::string_view text) {
    if (!traceOn(level)) {
        return;
    }
    std::string line = g_strPrefix;
    line += levelName(level);
    line += text;
    line += '\n';
    if (g_pStream != nullptr) {
        *g_pStream << line;
        g_pStream->flush();
    } else {
        plat::ConsoleWrite(line);
    }
}

}  // namespace rp
