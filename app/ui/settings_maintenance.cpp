// The settings' Maintenance page: install, repair and remove the camera
// program, and repair the virtual microphone.
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/audio/audio_driver_installer.h"
#include "app/camera/camera_extension_installer.h"
#include "app/model/platform_texts.h"
#include "app/ui/settings_pages.h"

namespace vsc {

MaintenanceSettings::MaintenanceSettings(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 16);
    page->setSpacing(14);

    auto* camera = new QGroupBox(QStringLiteral("Camera extension"), this);
    auto* cameraRows = new QVBoxLayout(camera);
    cameraRows->setSpacing(8);
    cameraSummary_ = secondaryLabel(QString(), camera);
    cameraSummary_->setAccessibleName(QStringLiteral("Camera extension state"));
    cameraRows->addWidget(cameraSummary_);
    auto* cameraButtons = new QHBoxLayout;
    install_ = new QPushButton(QStringLiteral("Install / update"), camera);
    repairCamera_ = new QPushButton(QStringLiteral("Repair camera"), camera);
    restartService_ = new QPushButton(QStringLiteral("Restart camera service"), camera);
    restarting_ = new Spinner(camera);
    uninstall_ = new QPushButton(QStringLiteral("Uninstall"), camera);
    makeDestructive(uninstall_);
    cameraButtons->addWidget(install_);
    cameraButtons->addWidget(repairCamera_);
    cameraButtons->addWidget(restartService_);
    cameraButtons->addWidget(restarting_);
    cameraButtons->addStretch(1);
    cameraButtons->addWidget(uninstall_);
    cameraRows->addLayout(cameraButtons);
    page->addWidget(camera);
    connect(install_, &QPushButton::clicked, this, [this] { model().activateExtension(); });
    connect(repairCamera_, &QPushButton::clicked, this, [this] { model().repairCamera(); });
    connect(restartService_, &QPushButton::clicked, this,
            [this] { model().restartCameraService(); });
    connect(uninstall_, &QPushButton::clicked, this, [this] { model().deactivateExtension(); });

    auto* microphone = new QGroupBox(QStringLiteral("Microphone driver"), this);
    auto* microphoneRows = new QVBoxLayout(microphone);
    microphoneRows->setSpacing(8);
    microphoneSummary_ = secondaryLabel(QString(), microphone);
    microphoneSummary_->setAccessibleName(QStringLiteral("Microphone driver state"));
    microphoneRows->addWidget(microphoneSummary_);
    auto* microphoneButtons = new QHBoxLayout;
    repairMicrophone_ = new QPushButton(microphone);
    repairing_ = new Spinner(microphone);
    microphoneButtons->addWidget(repairMicrophone_);
    microphoneButtons->addWidget(repairing_);
    microphoneButtons->addStretch(1);
    microphoneRows->addLayout(microphoneButtons);
    page->addWidget(microphone);
    connect(repairMicrophone_, &QPushButton::clicked, this,
            [this] { model().repairAudioDriver(); });

    page->addWidget(captionLabel(QString::fromUtf8(texts::kRepairsMayNeedAppsRestarted), this));
    page->addStretch(1);
}

void MaintenanceSettings::render() {
    const AppModel& m = model();
    showText(cameraSummary_, summary(m.extensionState()));
    // Only a camera the service did not start can be repaired.
    repairCamera_->setVisible(std::holds_alternative<ExtensionNotStarted>(m.extensionState()));
    repairCamera_->setEnabled(!m.restartingCameraService());
    restartService_->setEnabled(!m.restartingCameraService());
    restarting_->setVisible(m.restartingCameraService());

    const AudioDriverState& driver = m.audioDriverState();
    const bool installedOrAbsent = std::holds_alternative<DriverOk>(driver) ||
                                   std::holds_alternative<DriverUnavailable>(driver);
    showText(microphoneSummary_, summary(driver));
    repairMicrophone_->setText(installedOrAbsent ? QStringLiteral("Repair")
                                                 : QStringLiteral("Install / repair"));
    repairMicrophone_->setEnabled(!std::holds_alternative<DriverUnavailable>(driver) &&
                                  !m.running() && !m.repairingAudioDriver());
    repairing_->setVisible(m.repairingAudioDriver());
}

}  // namespace vsc
