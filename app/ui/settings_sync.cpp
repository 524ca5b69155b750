// The settings' Sync page: the sound's and the picture's delays.
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>

#include "app/ui/settings_pages.h"

namespace vsc {
namespace {

std::string delayLabel(const char* what, double ms) {
    return std::string(what) + std::to_string(static_cast<long>(std::trunc(ms))) + " ms";
}

// A delay slider from 0 to 1000 ms in steps of 10 (it counts the steps), and
// its label, as wide as its widest reading so the slider stays put.
QSlider* delayRow(QWidget* parent, QVBoxLayout* rows, const char* what, QLabel*& text) {
    auto* row = new QHBoxLayout;
    text = new QLabel(parent);
    text->setMinimumWidth(text->fontMetrics().horizontalAdvance(qs(delayLabel(what, 1000))) + 4);
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(0, 100);
    slider->setSingleStep(1);
    slider->setPageStep(10);
    text->setBuddy(slider);
    row->addWidget(text);
    row->addWidget(slider, 1);
    rows->addLayout(row);
    return slider;
}

void showDelay(QSlider* slider, QLabel* text, const char* what, double ms) {
    {
        QSignalBlocker quiet(slider);
        slider->setValue(static_cast<int>(std::lround(ms / 10)));
    }
    showText(text, delayLabel(what, ms));
}

}  // namespace

SyncSettings::SyncSettings(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 16);
    auto* section = new QGroupBox(this);
    auto* rows = new QVBoxLayout(section);
    rows->setSpacing(8);
    audioDelay_ = delayRow(section, rows, "Audio delay ", audioDelayText_);
    audioDelay_->setAccessibleName(QStringLiteral("Audio delay"));
    videoDelay_ = delayRow(section, rows, "Video delay ", videoDelayText_);
    videoDelay_->setAccessibleName(QStringLiteral("Video delay"));
    rows->addWidget(captionLabel(
        QStringLiteral("Delay the sound or the picture if they don't match in the video call."),
        section));
    page->addWidget(section);
    page->addStretch(1);
    connect(audioDelay_, &QSlider::valueChanged, this, [this](int steps) {
        model().setAudioDelayMs(steps * 10.0);
        render();
    });
    connect(videoDelay_, &QSlider::valueChanged, this, [this](int steps) {
        model().setVideoDelayMs(steps * 10.0);
        render();
    });
}

void SyncSettings::render() {
    showDelay(audioDelay_, audioDelayText_, "Audio delay ", model().audioDelayMs());
    showDelay(videoDelay_, videoDelayText_, "Video delay ", model().videoDelayMs());
}

}  // namespace vsc
