// The welcome assistant's first page: turning on the virtual camera.
#include <QFrame>
#include <QVBoxLayout>

#include "app/camera/camera_extension_installer.h"
#include "app/model/platform_texts.h"
#include "app/ui/welcome_pages.h"

namespace vsc {

WelcomeCameraPage::WelcomeCameraPage(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(12);
    page->addWidget(pageTitle(QStringLiteral("Turn on the Vendaroscope camera"), this));
    page->addWidget(secondaryLabel(QString::fromUtf8(texts::kWelcomeCameraIntro), this));

    ready_ = new StateLine(this);
    ready_->setState(RowTone::ok, QString::fromUtf8(texts::kWelcomeCameraReady));
    page->addWidget(ready_);

    auto* box = new QFrame(this);
    box->setObjectName("instructions");
    QColor fill = panel_colors::secondary();
    fill.setAlphaF(0.1f);
    box->setStyleSheet(QStringLiteral("QFrame#instructions { background: %1; border-radius: 8px; }")
                           .arg(fill.name(QColor::HexArgb)));
    auto* lines = new QVBoxLayout(box);
    lines->setContentsMargins(12, 12, 12, 12);
    lines->setSpacing(4);
    firstInstruction_ = new QLabel(box);
    for (QLabel* line :
         {firstInstruction_, new QLabel(QString::fromUtf8(texts::kWelcomeCameraSecondStep), box),
          new QLabel(QStringLiteral("3. Come back here: this step ticks itself."), box)}) {
        line->setWordWrap(true);
        lines->addWidget(line);
    }
    instructions_ = box;
    page->addWidget(box);

    status_ = captionLabel(QString(), this);
    status_->setAccessibleName(QStringLiteral("Camera state"));
    page->addWidget(status_);
    repair_ = new QPushButton(QStringLiteral("Repair camera"), this);
    repair_->setAutoDefault(false);
    page->addWidget(repair_, 0, Qt::AlignLeft);
    connect(repair_, &QPushButton::clicked, this, [this] { model().repairCamera(); });
    page->addStretch(1);
}

void WelcomeCameraPage::render() {
    const CameraExtensionState& state = model().extensionState();
    const bool ok = std::holds_alternative<ExtensionOk>(state);
    const auto* outdated = std::get_if<ExtensionOutdated>(&state);
    ready_->setVisible(ok);
    instructions_->setVisible(!ok);
    status_->setVisible(!ok);
    showText(firstInstruction_, outdated ? "1. Click Update camera." : "1. Click Install camera.");
    showText(status_, outdated ? "Installed v" + outdated->installed + ", this app ships v" +
                                     outdated->embedded + "."
                               : summary(state));
    repair_->setVisible(std::holds_alternative<ExtensionNotStarted>(state));
    repair_->setEnabled(!model().restartingCameraService());
}

}  // namespace vsc
