#pragma once

// The welcome assistant's parts: the list of steps on the left and the four
// pages (camera, microphone, studio, the end). The pages read the model and
// call its operations; what the assistant itself remembers is WelcomeState.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <array>
#include <vector>

#include "app/ui/form_parts.h"
#include "app/ui/model_view.h"
#include "app/ui/panel_content.h"

namespace vsc {

// What the assistant remembers while its window lives (closing only hides it).
struct WelcomeState {
    int step = 0;  // 0 camera, 1 microphone, 2 studio, 3 the end
    bool openAtLogin = true;
    bool manualAddress = false;
    std::array<const char*, 3> steps = {"Camera", "Microphone", "Your studio"};
};

// Whether the model reports a step done: the camera running, the microphone
// installed (or not needed), a complete programme address.
bool stepComplete(const AppModel& model, int step);

// A step's marker: a green tick once done, else its number in a circle,
// filled for the step shown.
class StepMarker final : public QWidget {
  public:
    explicit StepMarker(int number, QWidget* parent = nullptr);
    void setLook(bool complete, bool current);
    bool complete() const { return complete_; }
    bool current() const { return current_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    int number_;
    bool complete_ = false;
    bool current_ = false;
};

class StepList final : public QWidget {
  public:
    StepList(const WelcomeState& state, QWidget* parent);
    void render(const AppModel& model);
    StepMarker* marker(int i) const { return markers_[static_cast<std::size_t>(i)]; }
    QLabel* name(int i) const { return names_[static_cast<std::size_t>(i)]; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    const WelcomeState& state_;
    std::vector<StepMarker*> markers_;
    std::vector<QLabel*> names_;
};

class WelcomeCameraPage final : public ModelView {
  public:
    WelcomeCameraPage(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    StateLine* ready() const { return ready_; }
    QWidget* instructions() const { return instructions_; }
    QLabel* firstInstruction() const { return firstInstruction_; }
    QLabel* status() const { return status_; }
    QPushButton* repair() const { return repair_; }

  private:
    StateLine* ready_;
    QWidget* instructions_;
    QLabel* firstInstruction_;
    QLabel* status_;
    QPushButton* repair_;
};

class WelcomeMicrophonePage final : public ModelView {
  public:
    WelcomeMicrophonePage(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    StateLine* state() const { return state_; }
    QPushButton* repair() const { return repair_; }
    Spinner* repairing() const { return repairing_; }

  private:
    StateLine* state_;
    QWidget* repairRow_;
    QPushButton* repair_;
    Spinner* repairing_;
};

// One announced studio in the studio page's list: a radio mark, its name
// and whether it is on air. Clicking it chooses the studio.
class StudioRow final : public QAbstractButton {
  public:
    StudioRow(const PcrEntry& entry, QWidget* parent);
    void setSelected(bool selected);
    bool selected() const { return selected_; }
    bool onAir() const { return onAir_; }
    const std::string& identifier() const { return identifier_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    std::string identifier_;
    bool onAir_;
    bool selected_ = false;
};

class WelcomeStudioPage final : public ModelView {
  public:
    WelcomeStudioPage(std::shared_ptr<AppModel> model, WelcomeState& state, QWidget* parent);
    void render() override;

    QPushButton* find() const { return find_; }
    QWidget* searching() const { return searching_; }
    QWidget* list() const { return list_; }
    const std::vector<StudioRow*>& rows() const { return rows_; }
    QToolButton* manualToggle() const { return manualToggle_; }
    QWidget* manual() const { return manual_; }
    QLineEdit* pcrHost() const { return pcrHost_; }
    QPushButton* detect() const { return detect_; }
    QLineEdit* url() const { return url_; }
    QLabel* detectStatus() const { return detectStatus_; }

  private:
    void rebuildRows();

    WelcomeState& state_;
    QPushButton* find_;
    QWidget* searching_;
    QScrollArea* list_;
    QWidget* rowsBox_;
    std::vector<StudioRow*> rows_;
    std::vector<PcrEntry> shownEntries_;
    QToolButton* manualToggle_;
    QWidget* manual_;
    QLineEdit* pcrHost_;
    QPushButton* detect_;
    QLineEdit* url_;
    QLabel* detectStatus_;
};

class WelcomeFinalPage final : public QWidget {
  public:
    WelcomeFinalPage(WelcomeState& state, QWidget* parent);
    QCheckBox* openAtLogin() const { return openAtLogin_; }

  private:
    QCheckBox* openAtLogin_;
};

}  // namespace vsc
