#include "platform/SystemDir.h"

#include <cstdlib>

namespace {
constexpr const char* kSysDirVariable = "MATRIXPANEL_SYSDIR";
constexpr const char* kDefaultSysDir = "/var/lib/matrixpanel";
}  // namespace

bool SystemDirFromEnvironment() {
    const char* value = std::getenv(kSysDirVariable);
    return value != nullptr && *value != '\0';
}

std::string SystemDir() {
    const char* value = std::getenv(kSysDirVariable);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string(kDefaultSysDir);
}
