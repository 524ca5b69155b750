#include "app/audio/audio_driver_installer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/process.h"

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
    return configHome_ + "/pipewire/pipewire.conf.d";
}

std::string AudioDriverInstaller::installedFile() const {
    return installedFolder() + "/" + kFileName;
}

std::string AudioDriverInstaller::defaultConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
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

std::string AudioDriverInstaller::shellQuote(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string AudioDriverInstaller::repairCommand() const {
    return "/bin/rm -f " + shellQuote(installedFile()) + " && /bin/mkdir -p " +
           shellQuote(installedFolder()) + " && /bin/cp " + shellQuote(resourceCopy()) + " " +
           shellQuote(installedFolder()) + "/";
}

std::optional<std::string> AudioDriverInstaller::repair(const Reload& reload) const {
    if (access(resourceCopy().c_str(), F_OK) != 0)
        return std::string("No driver bundled in this build");
    Pipe errors;
    if (!makePipe(errors)) return std::string("pipe() failed: ") + std::to_string(errno);
    SpawnRequest request;
    request.path = "/bin/sh";
    request.args = {"-c", repairCommand()};
    request.descriptors = {{0, ChildDescriptor::Kind::NullForReading, -1},
                           {1, ChildDescriptor::Kind::NullForWriting, -1},
                           {2, ChildDescriptor::Kind::Inherit, errors.writeEnd}};
    SpawnResult spawned = spawnProcess(request);
    closeDescriptor(errors.writeEnd);
    if (spawned.pid <= 0) {
        closeDescriptor(errors.readEnd);
        return std::string("Cannot run /bin/sh: ") + std::strerror(spawned.error);
    }
    std::string text;
    char chunk[1024];
    ssize_t n;
    while ((n = read(errors.readEnd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    closeDescriptor(errors.readEnd);
    int status = waitForChild(spawned.pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        auto begin = text.find_first_not_of(" \t\r\n");
        auto end = text.find_last_not_of(" \t\r\n");
        text = begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
        if (!text.empty()) return text;
        return "sh exited " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
    }
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
