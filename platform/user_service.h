#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vsc {

// A program of ours that runs for the user whenever the user is logged in,
// whether the application runs or not: the camera program, the microphone.
struct UserServiceSpec {
    std::string name;  // the unit is <name>.service
    std::string description;
    std::vector<std::string> command;  // an absolute program path and its arguments
};

// Installs, restarts and removes such programs. Where a systemd user manager
// runs, each is a user unit, enabled and started; elsewhere (containers, CI,
// desktops without one) a detached supervisor of ours keeps a single
// instance running and starts it again when it dies, for as long as it is
// installed, and the application's next start brings the supervisor back if
// nothing ran it meanwhile. Every operation blocks for the time the system
// takes: never call them on the main queue. Failures come back as text.
class UserServices {
  public:
    virtual ~UserServices() = default;
    // Runs it now and at every login; an installed one is redefined and
    // started again.
    virtual std::optional<std::string> install(const UserServiceSpec& spec) = 0;
    // Stops it and removes everything install made; nothing installed is fine.
    virtual std::optional<std::string> uninstall(const std::string& name) = 0;
    virtual std::optional<std::string> restart(const std::string& name) = 0;
    virtual bool installed(const std::string& name) = 0;
    // An installed service that nothing runs is started again.
    virtual void ensureRunning(const std::string& name) = 0;
};

// A user unit where a systemd user manager answers, else supervised processes.
std::unique_ptr<UserServices> makeUserServices();

// The parts, for tests and tools.
std::unique_ptr<UserServices> makeSystemdUserServices(std::string unitFolder,
                                                      std::string systemctl = "/usr/bin/systemctl");
// supervisor: the vendaroscope-supervise program; stateFolder: where each
// service's definition lives; lockFolder: where the supervisors keep their
// single-instance locks.
std::unique_ptr<UserServices> makeSupervisedUserServices(std::string supervisor,
                                                         std::string stateFolder,
                                                         std::string lockFolder);

// A systemd unit for a service (the text of <name>.service).
std::string systemdUnitText(const UserServiceSpec& spec);

// Where supervised services keep their state, under the user's folders.
std::string supervisedStateFolder();
std::string supervisedLockFolder();

}  // namespace vsc
