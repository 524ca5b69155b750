#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vsc {

// The short in-memory history the Diagnostics tab shows: one line per event,
// "<local time>  <message>", newest last, at most 200 lines.
class ActivityLog {
  public:
    static constexpr std::size_t kMaxLines = 200;
    using TimeText = std::function<std::string()>;

    // timeText gives the current local time in the user's standard time style;
    // the default reads the system clock.
    explicit ActivityLog(TimeText timeText = {});

    // Appends one line; returns the line as stored.
    const std::string& append(const std::string& message);

    const std::vector<std::string>& lines() const { return lines_; }

    // Current local time, hours, minutes and seconds, in the locale's time style.
    static std::string localTimeText();

  private:
    TimeText timeText_;
    std::vector<std::string> lines_;
};

}  // namespace vsc
