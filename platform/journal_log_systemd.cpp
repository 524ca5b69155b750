#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "platform/control_characters.h"
#include "platform/journal_log.h"

namespace vsc {
namespace {

bool journalPresent() {
    static const bool present = access("/run/systemd/journal/socket", W_OK) == 0;
    return present;
}

}  // namespace

void journalLog(const std::string& subsystem, const std::string& category,
                const std::string& rawMessage) {
    // Lines can carry what a studio or ffmpeg sent; one message stays one line.
    const std::string message = replaceControlCharacters(rawMessage);
    if (journalPresent()) {
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=6",
                        "SYSLOG_IDENTIFIER=vendaroscope-virtualcam", "VSC_SUBSYSTEM=%s",
                        subsystem.c_str(), "VSC_CATEGORY=%s", category.c_str(), nullptr);
        return;
    }
    static std::mutex serialise;
    std::lock_guard<std::mutex> hold(serialise);
    std::fprintf(stderr, "[%s:%s] %s\n", subsystem.c_str(), category.c_str(), message.c_str());
}

}  // namespace vsc
