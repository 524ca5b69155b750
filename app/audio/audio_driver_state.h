#pragma once

#include <string>
#include <variant>

namespace vsc {

// What is known of the virtual microphone's installation.
struct DriverOk {
    std::string version;
    bool operator==(const DriverOk&) const = default;
};
struct DriverOutdated {
    std::string installed, embedded;
    bool operator==(const DriverOutdated&) const = default;
};
struct DriverNotLoaded {
    std::string version;
    bool operator==(const DriverNotLoaded&) const = default;
};
struct DriverMissing {
    bool operator==(const DriverMissing&) const = default;
};
struct DriverUnavailable {
    bool operator==(const DriverUnavailable&) const = default;
};

using AudioDriverState =
    std::variant<DriverOk, DriverOutdated, DriverNotLoaded, DriverMissing, DriverUnavailable>;

}  // namespace vsc
