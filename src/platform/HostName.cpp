#include "platform/HostName.h"

#include <errno.h>
#include <unistd.h>

#include "platform/LastError.h"

namespace plat {

bool GetHostName(std::string& name) {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    name = buffer;
    return true;
}

}  // namespace plat
