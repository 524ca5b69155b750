// The login item as an XDG autostart entry.
#include <errno.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/login_item.h"
#include "platform/user_dirs.h"

namespace vsc {
namespace {

// The Exec key of a desktop entry is split by the desktop like a shell line
// would be, but without a shell: a path with reserved characters goes in
// double quotes with ", `, $ and \ escaped, and the key's own string escaping
// doubles every backslash once more.
std::string execArgument(const std::string& path) {
    bool plain = !path.empty();
    for (char c : path)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+", c)))
            plain = false;
    if (plain) return path;
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '\n' || c == '\r') continue;
        // One backslash for the quoting, doubled by the string escaping.
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        quoted += c;
    }
    return quoted + "\"";
}

bool switchedOff(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return true;
    }
    return false;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::string entryPath, std::string program)
    : entryPath_(std::move(entryPath)), program_(std::move(program)) {}

std::string XdgAutostartLoginItem::defaultEntryPath() {
    std::string config = configHome();
    if (config.empty()) return {};
    return config + "/autostart/vendaroscope-virtualcam.desktop";
}

LoginItemStatus XdgAutostartLoginItem::status() {
    std::ifstream in(entryPath_);
    if (!in) return LoginItemStatus::notRegistered;
    std::stringstream text;
    text << in.rdbuf();
    return switchedOff(text.str()) ? LoginItemStatus::notRegistered : LoginItemStatus::enabled;
}

std::optional<std::string> XdgAutostartLoginItem::registerItem() {
    if (entryPath_.empty()) return std::string("no configuration folder is known");
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(fs::path(entryPath_).parent_path(), error);
    if (error) return error.message();
    const std::string temporary = entryPath_ + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Vendaroscope Virtual Webcam\n"
               "Comment=Sends the studio programme to video calls as a camera and a microphone\n"
               "Exec="
            << execArgument(program_)
            << "\n"
               "Icon=vendaroscope-virtualcam\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n";
        out.flush();
        if (!out) return std::string(std::strerror(errno ? errno : EIO));
    }
    fs::rename(temporary, entryPath_, error);
    if (error) {
        fs::remove(temporary, error);
        return error.message();
    }
    return std::nullopt;
}

std::optional<std::string> XdgAutostartLoginItem::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entryPath_, error);
    if (error) return error.message();
    return std::nullopt;
}

}  // namespace vsc
