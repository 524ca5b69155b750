#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/model/model_types.h"

namespace vsc {

// The single most important thing the panel asks the user to look at.
struct ProblemCamera {
    CameraExtensionState state;
    bool operator==(const ProblemCamera&) const = default;
};
struct ProblemMicrophone {
    AudioDriverState state;
    bool operator==(const ProblemMicrophone&) const = default;
};
struct ProblemOffAir {
    std::string studio;
    bool operator==(const ProblemOffAir&) const = default;
};
struct ProblemProgramLost {
    std::string studio;
    int seconds = 0;
    bool operator==(const ProblemProgramLost&) const = default;
};
struct ProblemChooseStudio {
    bool operator==(const ProblemChooseStudio&) const = default;
};
using PanelProblem = std::variant<ProblemCamera, ProblemMicrophone, ProblemOffAir,
                                  ProblemProgramLost, ProblemChooseStudio>;

enum class RowTone { ok, warning, neutral };

enum class MenuBarIconState { ready, sending, attention };

// What the tray icon shows. The model's statistics tick assigns it only when
// the state changes, so observers redraw the icon at most every half second.
class MenuBarStatus {
  public:
    static MenuBarStatus& shared();

    MenuBarIconState state() const { return state_; }
    void setState(MenuBarIconState value);
    // Observers of every change of state (main queue).
    void observe(std::function<void()> observer);

  private:
    MenuBarIconState state_ = MenuBarIconState::ready;
    std::vector<std::function<void()>> observers_;
};

// The text assistive technology reads for the tray icon in each state.
std::string accessibilityLabel(MenuBarIconState state);

}  // namespace vsc
