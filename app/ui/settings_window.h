#pragma once

#include <QStackedWidget>
#include <QTabBar>
#include <QWidget>
#include <memory>

#include "app/ui/settings_pages.h"
#include "app/ui/window_manager.h"

namespace vsc {

// The settings window: a row of sections above the selected section's page.
// The section shown is the shared selection's, so the panel's commands and
// notification clicks choose it from outside; every page reads the model.
class SettingsWindow final : public QWidget {
  public:
    SettingsWindow(std::shared_ptr<AppModel> model, SettingsTabSelection& selection,
                   ShellCommands shell);

    // Brings every page up to date (the shown one follows the model by itself).
    void render();

    QTabBar* sections() const { return sections_; }
    QWidget* shownPage() const;
    GeneralSettings* general() const { return general_; }
    AudioSettings* audio() const { return audio_; }
    SyncSettings* sync() const { return sync_; }
    NDISettings* ndi() const { return ndi_; }
    MaintenanceSettings* maintenance() const { return maintenance_; }
    DiagnosticsView* diagnostics() const { return diagnostics_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void showTab(SettingsTab tab);

    SettingsTabSelection& selection_;
    QTabBar* sections_;
    QStackedWidget* pages_;
    GeneralSettings* general_;
    AudioSettings* audio_;
    SyncSettings* sync_;
    NDISettings* ndi_;
    MaintenanceSettings* maintenance_;
    DiagnosticsView* diagnostics_;
};

}  // namespace vsc
