// The welcome assistant's last page: where the application lives, and
// whether it opens at log-in.
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/welcome_pages.h"

namespace vsc {

WelcomeFinalPage::WelcomeFinalPage(WelcomeState& state, QWidget* parent) : QWidget(parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(14);
    page->addWidget(pageTitle(QStringLiteral("You're all set"), this));
    page->addWidget(
        secondaryLabel(QStringLiteral("The app now lives in the menu bar, at the top right of your "
                                      "screen. Click its icon to start sending the program."),
                       this));
    openAtLogin_ = new QCheckBox(QStringLiteral("Open Vendaroscope Virtual Webcam at login"), this);
    openAtLogin_->setChecked(state.openAtLogin);
    page->addWidget(openAtLogin_);
    page->addWidget(secondaryLabel(QString::fromUtf8(texts::kWelcomeNotificationsNote), this));
    page->addStretch(1);
    connect(openAtLogin_, &QCheckBox::toggled, this, [&state](bool on) { state.openAtLogin = on; });
}

}  // namespace vsc
