#include "platform/user_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace vsc {
namespace {

std::string absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

std::string underHome(const char* variable, const char* fallback) {
    std::string value = absoluteVariable(variable);
    if (!value.empty()) return value;
    std::string home = homeDirectory();
    return home.empty() ? std::string() : home + fallback;
}

}  // namespace

std::string homeDirectory() {
    std::string home = absoluteVariable("HOME");
    if (home.empty()) {
        passwd entry{};
        passwd* result = nullptr;
        char buffer[4096];
        if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result &&
            result->pw_dir && result->pw_dir[0] == '/')
            home = result->pw_dir;
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home == "/" ? std::string() : home;
}

std::string configHome() {
    return underHome("XDG_CONFIG_HOME", "/.config");
}

std::string dataHome() {
    return underHome("XDG_DATA_HOME", "/.local/share");
}

std::string runtimeDirectory() {
    return absoluteVariable("XDG_RUNTIME_DIR");
}

}  // namespace vsc
