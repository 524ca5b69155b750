#pragma once

#include <optional>
#include <string>

namespace vsc {

// Whether the desktop starts the application when the user logs in.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval };

class LoginItem {
  public:
    virtual ~LoginItem() = default;
    virtual LoginItemStatus status() = 0;
    // None on success, else what went wrong in the system's words.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

// An XDG autostart entry: the desktop starts every entry of
// $XDG_CONFIG_HOME/autostart at log-in unless it is hidden or switched off.
// No desktop asks the user to approve one.
class XdgAutostartLoginItem final : public LoginItem {
  public:
    // entryPath: the autostart file; program: what it starts.
    XdgAutostartLoginItem(std::string entryPath, std::string program);
    // $XDG_CONFIG_HOME/autostart/vendaroscope-virtualcam.desktop, starting
    // this process's executable.
    static std::string defaultEntryPath();

    LoginItemStatus status() override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;

  private:
    std::string entryPath_;
    std::string program_;
};

}  // namespace vsc
