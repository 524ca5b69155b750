// The welcome assistant's second page: the virtual microphone.
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/welcome_pages.h"

namespace vsc {

WelcomeMicrophonePage::WelcomeMicrophonePage(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(12);
    page->addWidget(pageTitle(QStringLiteral("The program's sound"), this));
    page->addWidget(secondaryLabel(
        QStringLiteral("Video apps hear the studio program through a microphone named "
                       "“Vendaroscope Program Audio”, installed with the app."),
        this));
    state_ = new StateLine(this);
    page->addWidget(state_);
    repairRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(repairRow_);
    row->setContentsMargins(0, 0, 0, 0);
    repair_ = new QPushButton(QStringLiteral("Repair microphone"), repairRow_);
    repair_->setAutoDefault(false);
    repairing_ = new Spinner(repairRow_);
    row->addWidget(repair_);
    row->addWidget(repairing_);
    row->addStretch(1);
    page->addWidget(repairRow_);
    connect(repair_, &QPushButton::clicked, this, [this] { model().repairAudioDriver(); });
    page->addStretch(1);
}

void WelcomeMicrophonePage::render() {
    const bool ready = stepComplete(model(), 1);
    state_->setState(ready ? RowTone::ok : RowTone::warning,
                     ready ? QStringLiteral("The microphone is ready.")
                           : QString::fromUtf8(texts::kWelcomeMicrophoneNotReady));
    repairRow_->setVisible(!ready);
    repair_->setEnabled(!model().repairingAudioDriver());
    repairing_->setVisible(model().repairingAudioDriver());
}

}  // namespace vsc
