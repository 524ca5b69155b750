#pragma once

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <memory>
#include <vector>

#include "app/ui/model_view.h"
#include "app/ui/panel_content.h"
#include "app/ui/welcome_pages.h"

namespace vsc {

// The welcome assistant: the steps on the left, the page of the current
// step on the right with its buttons below. It walks a first-time user
// through the camera, the microphone and the studio; Done starts the
// services. Closed without Done it changes nothing and, shown again, it is
// where the user left it.
class WelcomeWindow final : public ModelView {
  public:
    WelcomeWindow(std::shared_ptr<AppModel> model, ShellCommands shell);
    void render() override;

    const WelcomeState& state() const { return state_; }
    StepList* stepList() const { return stepList_; }
    QLabel* header() const { return header_; }
    WelcomeCameraPage* camera() const { return camera_; }
    WelcomeMicrophonePage* microphone() const { return microphone_; }
    WelcomeStudioPage* studio() const { return studio_; }
    WelcomeFinalPage* final() const { return final_; }
    QPushButton* back() const { return back_; }
    // The button bar's trailing buttons shown now, in order, and the one
    // Return presses.
    std::vector<QPushButton*> actions() const;
    QPushButton* defaultAction() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QPushButton* barButton(const QString& text);
    void setStep(int step);
    void done();

    ShellCommands shell_;
    WelcomeState state_;
    StepList* stepList_;
    QLabel* header_;
    QStackedWidget* pages_;
    WelcomeCameraPage* camera_;
    WelcomeMicrophonePage* microphone_;
    WelcomeStudioPage* studio_;
    WelcomeFinalPage* final_;
    QPushButton* back_;
    QPushButton* skip_;
    QPushButton* openSettings_;
    QPushButton* install_;
    QPushButton* continue_;
    QPushButton* done_;
};

}  // namespace vsc
