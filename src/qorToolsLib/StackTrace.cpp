#include "qorToolsLib/StackTrace.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ModuleAddress.h"
#include "qorToolsLib/ReportWriter.h"

namespace {

constexpr const char kColumnHeader[] =
    "Address    Frame     Return    Arg 1     Arg 2     Arg 3     Arg 4     Module";
constexpr const char kRule[] =
    "--------  --------  --------  --------  --------  --------  --------  --------";
constexpr const char kFrameFormat[] = "%08lx  %08lx  %08lx  %08lx  %08lx  %08lx  %08lx  ";

const char* FileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

struct Position {
    bool hasSymbol = false;
    std::string symbol;
    uintptr_t displacement = 0;
    bool hasModule = false;
    std::string module;
    uint32_t section = 0;
    uintptr_t offset = 0;
};

Position Locate(uintptr_t pc) {
    Position position;
    position.hasSymbol = plat::FindSymbol(pc, position.symbol, position.displacement);
    position.hasModule =
        plat::FindModuleSegment(pc, position.module, position.section, position.offset);
    return position;
}

}  // namespace

bool FindModuleSection(uintptr_t address, char* name, size_t nameSize, uint32_t& section,
                       uintptr_t& offset) {
    std::string path;
    bool found = plat::FindModuleSegment(address, path, section, offset);
    if (name != nullptr && nameSize != 0) {
        size_t n = std::min(path.size(), nameSize - 1);
        std::memcpy(name, path.data(), n);
        name[n] = '\0';
    }
    return found;
}

void StackTrace(const plat::FaultRecord* context, QorReportSink sink) {
    if (sink == nullptr || context == nullptr) {
        return;
    }
    sink("\nStack Traceback:\n");
    sink("%s\n", kColumnHeader);
    sink("%s\n\n", kRule);
    for (size_t i = 0; i < context->frameCount; ++i) {
        const plat::FaultFrame& frame = context->frames[i];
        sink(kFrameFormat, frame.pc, frame.frame, frame.returnAddress, frame.words[0],
             frame.words[1], frame.words[2], frame.words[3]);
        Position position = Locate(frame.pc);
        if (position.hasSymbol) {
            sink("%s+%lx\n", position.symbol.c_str(), position.displacement);
        } else if (position.hasModule) {
            sink("%04x:%08lx  %s\n", position.section, position.offset, FileName(position.module));
        } else {
            sink("<>\n");
        }
    }
}

char* StackTraceToBuffer(char* buffer, size_t& room, const plat::FaultRecord* context) {
    if (buffer == nullptr) {
        return nullptr;
    }
    ReportWriter out(buffer, room);
    out.Printf("\n%s\r\n", kColumnHeader);
    for (size_t i = 0; context != nullptr && i < context->frameCount; ++i) {
        const plat::FaultFrame& frame = context->frames[i];
        out.Printf(kFrameFormat, frame.pc, frame.frame, frame.returnAddress, frame.words[0],
                   frame.words[1], frame.words[2], frame.words[3]);
        Position position = Locate(frame.pc);
        if (position.hasSymbol) {
            out.Printf("%s+%lx\r\n", position.symbol.c_str(), position.displacement);
        }
        size_t written = position.hasModule ? out.Printf("%04x:%08lx  %s\r\n", position.section,
                                                         position.offset, FileName(position.module))
                                            : out.Printf("<>\r\n");
        if (written < 4) {
            break;  // the room is used up
        }
    }
    return out.Position();
}
