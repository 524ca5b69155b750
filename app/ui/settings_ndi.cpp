// The settings' NDI page: the programme as an NDI source on the network.
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/ui/settings_pages.h"

namespace vsc {

NDISettings::NDISettings(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 16);
    page->setSpacing(10);
    auto* section = new QGroupBox(this);
    auto* rows = new QVBoxLayout(section);
    rows->setSpacing(8);
    enabled_ = new QCheckBox(QStringLiteral("Send as NDI"), section);
    rows->addWidget(enabled_);
    name_ = new QLineEdit(section);
    name_->setPlaceholderText(QStringLiteral("Source name"));
    name_->setAccessibleName(QStringLiteral("Source name"));
    rows->addWidget(name_);
    auto* statusRow = new QHBoxLayout;
    auto* statusTitle = new QLabel(QStringLiteral("Status"), section);
    status_ = new QLabel(section);
    status_->setAccessibleName(QStringLiteral("NDI status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    makeSecondary(status_);
    statusRow->addWidget(statusTitle);
    statusRow->addStretch(1);
    statusRow->addWidget(status_);
    rows->addLayout(statusRow);
    page->addWidget(section);

    auto* trademark = captionLabel(
        QStringLiteral("NDI® is a registered trademark of Vizrt NDI AB. "
                       "<a href=\"https://ndi.video/\">ndi.video</a>"),
        this);
    trademark->setTextFormat(Qt::RichText);
    trademark->setOpenExternalLinks(true);
    trademark->setTextInteractionFlags(Qt::TextBrowserInteraction);
    trademark->setAccessibleName(QStringLiteral("NDI vendor's website"));
    page->addWidget(trademark);
    page->addStretch(1);

    connect(enabled_, &QCheckBox::clicked, this, [this](bool on) {
        model().setNdiEnabled(on);
        render();
    });
    connect(name_, &QLineEdit::textEdited, this,
            [this](const QString& text) { model().setNdiName(text.toStdString()); });
}

void NDISettings::render() {
    const AppModel& m = model();
    enabled_->setChecked(m.ndiEnabled());
    // The source keeps its name while it is on the network.
    name_->setEnabled(!m.ndiEnabled());
    showText(name_, m.ndiName());
    showText(status_, m.ndiStatus());
}

}  // namespace vsc
