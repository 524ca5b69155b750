#pragma once

#include <QComboBox>
#include <QLabel>
#include <QWidget>
#include <memory>

#include "app/model/app_model.h"
#include "app/ui/model_view.h"
#include "app/ui/panel_content.h"
#include "app/ui/panel_parts.h"
#include "app/ui/problem_banner.h"

namespace vsc {

// The status panel: the studio, the preview while sending, the current
// problem, the status lines, the start/stop control and the commands. It
// reads the model's published fields and calls its operations; its only own
// state is the command buttons' hover.
class StatusPanel final : public ModelView {
  public:
    enum class Mode {
        popup,   // a frameless popup beside the tray icon, gone when it loses focus
        window,  // an ordinary small window, for desktops without a tray
    };
    StatusPanel(std::shared_ptr<AppModel> model, ShellCommands shell, Mode mode);

    // Shows the panel near `anchor` (the tray icon's rectangle; the pointer
    // when empty) and gives it the focus.
    void popUp(const QRect& anchor);
    Mode mode() const { return mode_; }
    // Heard each time the panel is shown, once it is laid out.
    std::function<void()> onShown;

    void render() override;

    // The parts, for tests and screenshots.
    OnAirBadge* badge() const { return badge_; }
    PreviewBox* preview() const { return preview_; }
    ProblemBanner* banner() const { return banner_; }
    QComboBox* picker() const { return picker_; }
    RowIcon* programIcon() const { return programIcon_; }
    ElidedLabel* programDetail() const { return programDetail_; }
    RowIcon* cameraIcon() const { return cameraIcon_; }
    ElidedLabel* cameraDetail() const { return cameraDetail_; }
    RowIcon* microphoneIcon() const { return microphoneIcon_; }
    QLabel* microphoneText() const { return microphoneText_; }
    LevelMeter* meter() const { return meter_; }
    SolidButton* startStop() const { return startStop_; }
    QLabel* startingText() const { return startingText_; }
    PanelMenuButton* command(int index) const { return commands_[index]; }

  protected:
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;
    void changeEvent(QEvent*) override;
    void keyPressEvent(QKeyEvent*) override;
    void paintEvent(QPaintEvent*) override;

  private:
    void reportVisible(bool visible);
    QWidget* statusRow(const char* title, RowIcon*& icon, QWidget* detail);

    ShellCommands shell_;
    Mode mode_;
    bool reportedVisible_ = false;
    std::vector<PickerItem> shownItems_;
    const void* shownPreview_ = nullptr;

    OnAirBadge* badge_;
    PreviewBox* preview_;
    ProblemBanner* banner_;
    QComboBox* picker_;
    RowIcon* programIcon_ = nullptr;
    ElidedLabel* programDetail_;
    RowIcon* cameraIcon_ = nullptr;
    ElidedLabel* cameraDetail_;
    RowIcon* microphoneIcon_ = nullptr;
    QLabel* microphoneText_;
    LevelMeter* meter_;
    SolidButton* startStop_;
    Spinner* startingSpinner_;
    QLabel* startingText_;
    PanelMenuButton* commands_[3];
};

}  // namespace vsc
