#include "app/model/activity_log.h"

#include <ctime>

namespace vsc {

ActivityLog::ActivityLog(TimeText timeText)
    : timeText_(timeText ? std::move(timeText) : TimeText(&ActivityLog::localTimeText)) {}

const std::string& ActivityLog::append(const std::string& message) {
    lines_.push_back(timeText_() + "  " + message);
    if (lines_.size() > kMaxLines) {
        lines_.erase(lines_.begin(), lines_.end() - kMaxLines);
    }
    return lines_.back();
}

std::string ActivityLog::localTimeText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    // %X is the locale's time representation (14:03:27, or 02:03:27 PM), with
    // no date; LC_TIME follows the user once the program called setlocale.
    std::size_t n = std::strftime(text, sizeof text, "%X", &local);
    return std::string(text, n);
}

}  // namespace vsc
