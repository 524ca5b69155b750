#pragma once

#include <string>
#include <variant>

namespace vsc {

// What is known of the camera program's installation.
struct ExtensionBusy {
    std::string message;
    bool operator==(const ExtensionBusy&) const = default;
};
struct ExtensionOutdated {
    std::string installed, embedded;
    bool operator==(const ExtensionOutdated&) const = default;
};
struct ExtensionStarting {
    std::string version;
    bool operator==(const ExtensionStarting&) const = default;
};
struct ExtensionOk {
    std::string version;
    bool operator==(const ExtensionOk&) const = default;
};
struct ExtensionNotStarted {
    std::string version;
    bool afterRestart = false;
    bool operator==(const ExtensionNotStarted&) const = default;
};
struct ExtensionFailed {
    std::string message;
    bool operator==(const ExtensionFailed&) const = default;
};
struct ExtensionChecking {
    bool operator==(const ExtensionChecking&) const = default;
};
struct ExtensionNotInstalled {
    bool operator==(const ExtensionNotInstalled&) const = default;
};
struct ExtensionAwaitingApproval {
    bool operator==(const ExtensionAwaitingApproval&) const = default;
};
struct ExtensionRebootRequired {
    bool operator==(const ExtensionRebootRequired&) const = default;
};

using CameraExtensionState =
    std::variant<ExtensionBusy, ExtensionOutdated, ExtensionStarting, ExtensionOk,
                 ExtensionNotStarted, ExtensionFailed, ExtensionChecking, ExtensionNotInstalled,
                 ExtensionAwaitingApproval, ExtensionRebootRequired>;

}  // namespace vsc
