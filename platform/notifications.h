#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/main_queue.h"

namespace vsc {

// One desktop notification. Its identifier names what it is about
// ("program-lost"): a newer notification with the same identifier takes the
// place of the one shown before instead of adding another.
struct Notification {
    std::string identifier;
    std::string title;
    std::string body;
    // Groups the application's notifications together.
    std::string threadIdentifier;
    bool defaultSound = true;
    bool operator==(const Notification&) const = default;
};

// The desktop's notification centre as the model sees it.
class Notifications {
  public:
    virtual ~Notifications() = default;
    // Shows the notification at once. Never blocks the caller; a desktop that
    // cannot show it (no notification server, no permission) drops it quietly.
    virtual void post(const Notification& notification) = 0;
    // Who hears of a click on a notification, with that notification's
    // identifier; called on the main queue. Installed by the application shell.
    virtual void setClickHandler(std::function<void(const std::string& identifier)> handler) = 0;
};

// org.freedesktop.Notifications on the user's session bus, through sd-bus on a
// thread of its own: the bus connection never touches the caller's thread, so
// the same object serves a program with a Qt event loop and one without.
class FreedesktopNotifications final : public Notifications {
  public:
    struct Options {
        std::string appName = "Vendaroscope Virtual Webcam";
        // The application's desktop entry, without ".desktop".
        std::string desktopEntry = "vendaroscope-virtualcam";
        // What the desktop plays for a notification with the default sound.
        std::string soundName = "message-new-instant";
    };

    explicit FreedesktopNotifications(MainQueue& main);
    FreedesktopNotifications(MainQueue& main, Options options);
    ~FreedesktopNotifications() override;

    void post(const Notification& notification) override;
    void setClickHandler(std::function<void(const std::string& identifier)> handler) override;

  private:
    struct Bus;
    void run();
    void deliverClick(const std::string& identifier);

    MainQueue& main_;
    const Options options_;
    std::mutex mutex_;
    std::function<void(const std::string&)> clickHandler_;
    std::unique_ptr<Bus> bus_;  // everything the bus thread owns
    std::thread thread_;
};

}  // namespace vsc
