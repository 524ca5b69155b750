#include "app/ui/welcome_window.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

namespace vsc {

WelcomeWindow::WelcomeWindow(std::shared_ptr<AppModel> shown, ShellCommands shell)
    : ModelView(std::move(shown)), shell_(std::move(shell)) {
    setWindowFlag(Qt::Window);
    setObjectName("welcomeWindow");
    setWindowTitle(QStringLiteral("Welcome to Vendaroscope Virtual Webcam"));
    setFixedSize(660, 470);

    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    stepList_ = new StepList(state_, this);
    columns->addWidget(stepList_);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);
    columns->addWidget(divider);

    auto* right = new QVBoxLayout;
    right->setContentsMargins(26, 26, 26, 26);
    right->setSpacing(8);
    header_ = captionLabel(QString(), this);
    right->addWidget(header_);
    pages_ = new QStackedWidget(this);
    camera_ = new WelcomeCameraPage(model_, pages_);
    microphone_ = new WelcomeMicrophonePage(model_, pages_);
    studio_ = new WelcomeStudioPage(model_, state_, pages_);
    final_ = new WelcomeFinalPage(state_, pages_);
    for (QWidget* page :
         std::initializer_list<QWidget*>{camera_, microphone_, studio_, final_})
        pages_->addWidget(page);
    right->addWidget(pages_, 1);

    auto* bar = new QHBoxLayout;
    back_ = barButton(QStringLiteral("Back"));
    bar->addWidget(back_);
    bar->addStretch(1);
    skip_ = barButton(QStringLiteral("Skip for now"));
    openSettings_ = barButton(QStringLiteral("Open System Settings"));
    install_ = barButton(QString());
    continue_ = barButton(QStringLiteral("Continue"));
    done_ = barButton(QStringLiteral("Done"));
    for (QPushButton* button : {skip_, openSettings_, install_, continue_, done_})
        bar->addWidget(button);
    right->addLayout(bar);
    columns->addLayout(right, 1);

    connect(back_, &QPushButton::clicked, this, [this] { setStep(state_.step - 1); });
    connect(skip_, &QPushButton::clicked, this, [this] { setStep(1); });
    connect(openSettings_, &QPushButton::clicked, this, [this] {
        if (shell_.openLoginItemsSettings) shell_.openLoginItemsSettings();
    });
    connect(install_, &QPushButton::clicked, this, [this] { model().activateExtension(); });
    connect(continue_, &QPushButton::clicked, this, [this] {
        // The camera's page moves on once the camera runs: the place where
        // the desktop would ask to let this application use it.
        if (state_.step == 0 && shell_.requestCameraAccess) shell_.requestCameraAccess();
        setStep(state_.step + 1);
    });
    connect(done_, &QPushButton::clicked, this, [this] { done(); });
    render();
}

QPushButton* WelcomeWindow::barButton(const QString& text) {
    auto* button = new QPushButton(text, this);
    // Return presses the page's default action wherever the focus is.
    button->setAutoDefault(false);
    return button;
}

void WelcomeWindow::setStep(int step) {
    state_.step = std::clamp(step, 0, 3);
    render();
}

void WelcomeWindow::render() {
    const AppModel& m = model();
    const int step = state_.step;
    stepList_->render(m);
    header_->setVisible(step < 3);
    showText(header_, "Step " + std::to_string(step + 1) + " of 3");
    pages_->setCurrentIndex(step);
    if (auto* page = dynamic_cast<ModelView*>(pages_->currentWidget())) page->render();

    const bool cameraReady = std::holds_alternative<ExtensionOk>(m.extensionState());
    const bool outdated = std::holds_alternative<ExtensionOutdated>(m.extensionState());
    back_->setVisible(step >= 1);
    const bool cameraChoices = step == 0 && !cameraReady;
    skip_->setVisible(cameraChoices);
    // Only a camera awaiting the user's approval is helped by the desktop's
    // settings; this desktop never asks for one.
    openSettings_->setVisible(
        cameraChoices && std::holds_alternative<ExtensionAwaitingApproval>(m.extensionState()));
    install_->setVisible(cameraChoices);
    install_->setText(outdated ? QStringLiteral("Update camera") : QStringLiteral("Install camera"));
    continue_->setVisible(step == 1 || step == 2 || (step == 0 && cameraReady));
    done_->setVisible(step == 3);
    QPushButton* primary = defaultAction();
    for (QPushButton* button : {back_, skip_, openSettings_, install_, continue_, done_})
        button->setDefault(button == primary);
}

std::vector<QPushButton*> WelcomeWindow::actions() const {
    std::vector<QPushButton*> shown;
    for (QPushButton* button : {skip_, openSettings_, install_, continue_, done_})
        if (!button->isHidden()) shown.push_back(button);
    return shown;
}

QPushButton* WelcomeWindow::defaultAction() const {
    if (!done_->isHidden()) return done_;
    if (!continue_->isHidden()) return continue_;
    if (!install_->isHidden()) return install_;
    return nullptr;
}

void WelcomeWindow::done() {
    // In this order: the setup counts as done before anything can fail, and
    // the window goes last.
    model().setSetupCompleted(true);
    model().setOpenAtLogin(state_.openAtLogin);
    if (shell_.requestNotificationPermission) shell_.requestNotificationPermission();
    model().startServices();
    if (shell_.closeWindow) shell_.closeWindow("welcome");
}

void WelcomeWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (QPushButton* primary = defaultAction(); primary && primary->isEnabled()) {
                primary->click();
                return;
            }
            break;
        case Qt::Key_Escape:
            close();
            return;
        default:
            break;
    }
    ModelView::keyPressEvent(event);
}

}  // namespace vsc
