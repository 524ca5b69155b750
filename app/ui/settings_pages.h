#pragma once

// The six pages of the settings window. Each shows the model's fields and
// calls its operations; none keeps state of its own.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <vector>

#include "app/ui/form_parts.h"
#include "app/ui/model_view.h"
#include "app/ui/panel_content.h"

namespace vsc {

// "Gain +6 dB", "Gain 0 dB", "Gain -3 dB": the gain truncated to whole dB.
std::string gainLabel(double gainDb);

class GeneralSettings final : public ModelView {
  public:
    GeneralSettings(std::shared_ptr<AppModel> model, ShellCommands shell, QWidget* parent);
    void render() override;

    QCheckBox* openAtLogin() const { return openAtLogin_; }
    QLabel* loginItemNote() const { return loginItemNote_; }
    QCheckBox* resumeAtLogin() const { return resumeAtLogin_; }
    QCheckBox* showInDock() const { return showInDock_; }
    QGroupBox* addressSection() const { return addressSection_; }
    QLineEdit* pcrHost() const { return pcrHost_; }
    QPushButton* detect() const { return detect_; }
    QLabel* detectStatus() const { return detectStatus_; }
    QLineEdit* url() const { return url_; }
    QPushButton* runAssistant() const { return runAssistant_; }

  private:
    ShellCommands shell_;
    QCheckBox* openAtLogin_;
    QLabel* loginItemNote_;
    QCheckBox* resumeAtLogin_;
    QCheckBox* showInDock_;
    QGroupBox* addressSection_;
    QLineEdit* pcrHost_;
    QPushButton* detect_;
    QLabel* detectStatus_;
    QLineEdit* url_;
    QPushButton* runAssistant_;
};

class AudioSettings final : public ModelView {
  public:
    AudioSettings(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    QWidget* outputRow() const { return outputRow_; }
    QComboBox* output() const { return output_; }
    QPushButton* refresh() const { return refresh_; }
    QSlider* gain() const { return gain_; }
    QLabel* gainText() const { return gainText_; }
    QPushButton* reset() const { return reset_; }

  private:
    QWidget* outputRow_;
    QComboBox* output_;
    QPushButton* refresh_;
    QSlider* gain_;
    QLabel* gainText_;
    QPushButton* reset_;
    // The device ids behind the picker's items ("None" first), as shown.
    std::vector<std::uint32_t> shownIds_;
    std::vector<std::string> shownNames_;
};

class SyncSettings final : public ModelView {
  public:
    SyncSettings(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    QSlider* audioDelay() const { return audioDelay_; }
    QLabel* audioDelayText() const { return audioDelayText_; }
    QSlider* videoDelay() const { return videoDelay_; }
    QLabel* videoDelayText() const { return videoDelayText_; }

  private:
    QSlider* audioDelay_;
    QLabel* audioDelayText_;
    QSlider* videoDelay_;
    QLabel* videoDelayText_;
};

class NDISettings final : public ModelView {
  public:
    NDISettings(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    QCheckBox* enabled() const { return enabled_; }
    QLineEdit* name() const { return name_; }
    QLabel* status() const { return status_; }

  private:
    QCheckBox* enabled_;
    QLineEdit* name_;
    QLabel* status_;
};

class MaintenanceSettings final : public ModelView {
  public:
    MaintenanceSettings(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    QLabel* cameraSummary() const { return cameraSummary_; }
    QPushButton* install() const { return install_; }
    QPushButton* repairCamera() const { return repairCamera_; }
    QPushButton* restartService() const { return restartService_; }
    Spinner* restarting() const { return restarting_; }
    QPushButton* uninstall() const { return uninstall_; }
    QLabel* microphoneSummary() const { return microphoneSummary_; }
    QPushButton* repairMicrophone() const { return repairMicrophone_; }
    Spinner* repairing() const { return repairing_; }

  private:
    QLabel* cameraSummary_;
    QPushButton* install_;
    QPushButton* repairCamera_;
    QPushButton* restartService_;
    Spinner* restarting_;
    QPushButton* uninstall_;
    QLabel* microphoneSummary_;
    QPushButton* repairMicrophone_;
    Spinner* repairing_;
};

class DiagnosticsView final : public ModelView {
  public:
    DiagnosticsView(std::shared_ptr<AppModel> model, QWidget* parent);
    void render() override;

    // The grid's value for a label ("Camera sink", "Decoder", …).
    QLabel* value(const QString& label) const;
    QPushButton* copyLog() const { return copyLog_; }
    QPlainTextEdit* log() const { return log_; }

  private:
    std::vector<std::pair<QString, QLabel*>> values_;
    QPushButton* copyLog_;
    QPlainTextEdit* log_;
    std::vector<std::string> shownLines_;
};

}  // namespace vsc
