// The settings' General page: start-up options, the studio's address when
// it is not found on the network, and the way back to the setup assistant.
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/ui/settings_pages.h"

namespace vsc {

GeneralSettings::GeneralSettings(std::shared_ptr<AppModel> shown, ShellCommands shell,
                                 QWidget* parent)
    : ModelView(std::move(shown), parent), shell_(std::move(shell)) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 16);
    page->setSpacing(14);

    auto* startup = new QGroupBox(QStringLiteral("Startup"), this);
    auto* startupRows = new QVBoxLayout(startup);
    startupRows->setSpacing(6);
    openAtLogin_ = new QCheckBox(QStringLiteral("Open at login"), startup);
    loginItemNote_ = captionLabel(QString(), startup);
    resumeAtLogin_ = new QCheckBox(QStringLiteral("Resume sending at login"), startup);
    showInDock_ = new QCheckBox(QStringLiteral("Show in Dock"), startup);
    for (QWidget* row :
         std::initializer_list<QWidget*>{openAtLogin_, loginItemNote_, resumeAtLogin_, showInDock_})
        startupRows->addWidget(row);
    page->addWidget(startup);
    // The toggles show what the model holds, which may not be what was
    // clicked (a login item the desktop refused springs back).
    connect(openAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
        model().setOpenAtLogin(on);
        render();
    });
    connect(resumeAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
        model().setResumeAtLogin(on);
        render();
    });
    connect(showInDock_, &QCheckBox::clicked, this, [this](bool on) {
        model().setShowInDock(on);
        render();
    });

    addressSection_ = new QGroupBox(QStringLiteral("Program address"), this);
    auto* addressRows = new QVBoxLayout(addressSection_);
    addressRows->setSpacing(6);
    addressRows->addWidget(
        captionLabel(QStringLiteral("Used when the studio isn't found on the network."),
                     addressSection_));
    auto* hostRow = new QHBoxLayout;
    pcrHost_ = new QLineEdit(addressSection_);
    pcrHost_->setPlaceholderText(QStringLiteral("PCR address"));
    pcrHost_->setAccessibleName(QStringLiteral("PCR address"));
    detect_ = new QPushButton(QStringLiteral("Detect program"), addressSection_);
    hostRow->addWidget(pcrHost_, 1);
    hostRow->addWidget(detect_);
    addressRows->addLayout(hostRow);
    detectStatus_ = captionLabel(QString(), addressSection_);
    addressRows->addWidget(detectStatus_);
    url_ = new QLineEdit(addressSection_);
    url_->setPlaceholderText(QStringLiteral("rtsp://<pcr-ip>:8554/STAGE_<id>"));
    url_->setAccessibleName(QStringLiteral("Program URL"));
    addressRows->addWidget(url_);
    page->addWidget(addressSection_);
    connect(pcrHost_, &QLineEdit::textEdited, this,
            [this](const QString& text) { model().setPcrHost(text.toStdString()); });
    connect(url_, &QLineEdit::textEdited, this,
            [this](const QString& text) { model().setUrl(text.toStdString()); });
    connect(detect_, &QPushButton::clicked, this, [this] { model().detectProgramURL(); });
    // Return in the address asks the studio, as the button beside it does.
    connect(pcrHost_, &QLineEdit::returnPressed, this, [this] {
        if (detect_->isEnabled()) model().detectProgramURL();
    });

    auto* again = new QGroupBox(this);
    auto* againRow = new QHBoxLayout(again);
    runAssistant_ = new QPushButton(QStringLiteral("Run the setup assistant again…"), again);
    againRow->addWidget(runAssistant_);
    againRow->addStretch(1);
    page->addWidget(again);
    connect(runAssistant_, &QPushButton::clicked, this, [this] {
        if (shell_.showWelcome) shell_.showWelcome();
    });
    page->addStretch(1);
}

void GeneralSettings::render() {
    const AppModel& m = model();
    openAtLogin_->setChecked(m.openAtLogin());
    showText(loginItemNote_, m.loginItemNote());
    loginItemNote_->setVisible(!m.loginItemNote().empty());
    resumeAtLogin_->setChecked(m.resumeAtLogin());
    showInDock_->setChecked(m.showInDock());
    addressSection_->setEnabled(!m.running());
    showText(pcrHost_, m.pcrHost());
    showText(detectStatus_, m.detectStatus());
    detectStatus_->setVisible(!m.detectStatus().empty());
    showText(url_, m.url());
}

}  // namespace vsc
