// Feeds an arbitrary byte image to the script process's reply parser line
// by line, as the reply thread reads them off the connection, and formats
// every record it leaves.
#include <algorithm>
#include <cstdint>
#include <string>

#include "TclHandler/qorTclCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string image(reinterpret_cast<const char*>(data), size);
    qorTclCommand command;
    size_t total = 0;
    for (size_t at = 0; at < image.size();) {
        size_t end = image.find('\n', at);
        end = end == std::string::npos ? image.size() : end + 1;
        end = std::min(end, at + qorTclCommand::kLineSize - 1);
        if (command.ParseReceivedLine(image.substr(at, end - at)) < 0) {
            command.Reset();
        }
        char text[300];
        total += std::string(command.Format(text, sizeof text)).size();
        at = end;
    }
    return total == SIZE_MAX ? 1 : 0;
}
