#include "app/audio/audio_driver_installer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file_install.h"
#include "platform/user_dirs.h"

namespace vsc {
namespace {

// The value of "# <key> = <value>" in the file's comment lines, if present.
std::optional<std::string> keyValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        auto at = line.find_first_not_of(" \t#");
        if (at == std::string::npos || line.compare(at, key.size(), key) != 0) continue;
        auto eq = line.find('=', at + key.size());
        if (eq == std::string::npos || line.find_first_not_of(" \t", at + key.size()) != eq)
            continue;
        auto begin = line.find_first_not_of(" \t", eq + 1);
        if (begin == std::string::npos) return std::string();
        auto end = line.find_last_not_of(" \t\r");
        return line.substr(begin, end - begin + 1);
    }
    return std::nullopt;
}

}  // namespace

AudioDriverInstaller::AudioDriverInstaller(std::string resourcesDir, std::string configHome)
    : resourcesDir_(std::move(resourcesDir)), configHome_(std::move(configHome)) {}

std::string AudioDriverInstaller::resourceCopy() const {
    return resourcesDir_ + "/pipewire/" + kFileName;
}

std::string AudioDriverInstaller::installedFolder() const {
    return configHome_ + "/pipewire";
}

std::string AudioDriverInstaller::olderFragment() const {
    return configHome_ + "/pipewire/pipewire.conf.d/" + kFileName;
}

std::string AudioDriverInstaller::installedFile() const {
    return installedFolder() + "/" + kFileName;
}

UserServiceSpec AudioDriverInstaller::serviceSpec(const std::string& program) const {
    return {kServiceName, "Vendaroscope Program Audio microphone", {program, installedFile()}};
}

std::string AudioDriverInstaller::defaultConfigHome() {
    return configHome();
}

std::optional<std::string> AudioDriverInstaller::versionText(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    std::string content = text.str();
    auto shortVersion = keyValue(content, "vendaroscope.version.short");
    auto build = keyValue(content, "vendaroscope.version.build");
    return (shortVersion ? *shortVersion : "?") + " (" + (build ? *build : "?") + ")";
}

AudioDriverState AudioDriverInstaller::state(bool loaded) const {
    auto bundled = versionText(resourceCopy());
    if (!bundled) return DriverUnavailable{};
    auto installed = versionText(installedFile());
    if (!installed) return DriverMissing{};
    if (*installed == *bundled) {
        if (loaded) return DriverOk{*installed};
        return DriverNotLoaded{*installed};
    }
    return DriverOutdated{*installed, *bundled};
}

std::optional<std::string> AudioDriverInstaller::repair(const Reload& reload) const {
    if (access(resourceCopy().c_str(), F_OK) != 0)
        return std::string("No driver bundled in this build");
    if (configHome_.empty() || configHome_.front() != '/')
        return std::string("No configuration folder to install into (no home folder)");
    // File-system calls, not a shell line: a path is only ever a path.
    if (auto failure = installCopy(resourceCopy(), installedFolder(), kFileName)) return failure;
    // An earlier version ran inside the user's audio server from its
    // configuration folder: out of there, or its next start would bring a
    // second microphone.
    if (::access(olderFragment().c_str(), F_OK) == 0 &&
        ::rename(olderFragment().c_str(), (installedFile() + ".old").c_str()) != 0)
        return "Cannot move " + olderFragment() + " away: " + std::strerror(errno);
    return reload ? reload() : std::nullopt;
}

std::string summary(const AudioDriverState& state) {
    struct Words {
        std::string operator()(const DriverOk& s) const { return "Installed · v" + s.version; }
        std::string operator()(const DriverOutdated& s) const {
            return "Installed v" + s.installed + ", this app ships v" + s.embedded +
                   " — repair to update";
        }
        std::string operator()(const DriverNotLoaded& s) const {
            return "Installed v" + s.version +
                   " but not loaded by the audio system — repair to reload";
        }
        std::string operator()(const DriverMissing&) const {
            return "Not installed — the “Vendaroscope Program Audio” microphone is unavailable";
        }
        std::string operator()(const DriverUnavailable&) const {
            return "No driver bundled in this build";
        }
    };
    return std::visit(Words{}, state);
}

}  // namespace vsc
