#include "SensorRoot.h"

#include <filesystem>
#include <system_error>

bool IsSensorRoot(const std::string& root, std::string& why) {
    // A push that a load had begun to read counts as well: the sensor
    // takes it up again.  A name is enough: what is there is judged when
    // it is read.
    for (const char* pszName :
         {"Default.policy", "current.policy", "push.policy", "push.policy.loading"}) {
        std::error_code failure;
        if (std::filesystem::exists(
                std::filesystem::symlink_status(root + "/" + pszName, failure))) {
            return true;
        }
    }
    why = root + " is not a sensor root: it holds no Default.policy, current.policy or "
                 "push.policy, so the sensor has no policy to start from";
    return false;
}
