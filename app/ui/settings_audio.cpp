// The settings' Audio page: where the programme sound goes, and its gain.
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>

#include "app/ui/settings_pages.h"

namespace vsc {

std::string gainLabel(double gainDb) {
    const long whole = static_cast<long>(std::trunc(gainDb));
    return std::string("Gain ") + (gainDb > 0 ? "+" : "") + std::to_string(whole) + " dB";
}

AudioSettings::AudioSettings(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 16, 20, 16);
    page->setSpacing(14);

    auto* device = new QGroupBox(this);
    auto* deviceRows = new QVBoxLayout(device);
    deviceRows->setSpacing(6);
    outputRow_ = new QWidget(device);
    auto* row = new QHBoxLayout(outputRow_);
    row->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(QStringLiteral("Audio output"), outputRow_);
    output_ = new QComboBox(outputRow_);
    output_->setAccessibleName(QStringLiteral("Audio output"));
    output_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    output_->setMinimumContentsLength(16);
    label->setBuddy(output_);
    refresh_ = new QPushButton(QStringLiteral("Refresh"), outputRow_);
    row->addWidget(label);
    row->addWidget(output_, 1);
    row->addWidget(refresh_);
    deviceRows->addWidget(outputRow_);
    deviceRows->addWidget(captionLabel(
        QStringLiteral("The program sound goes to “Vendaroscope Program Audio”, which video apps "
                       "see as a microphone."),
        device));
    page->addWidget(device);
    connect(output_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < shownIds_.size())
            model().setSelectedAudioDevice(shownIds_[static_cast<std::size_t>(index)]);
    });
    connect(refresh_, &QPushButton::clicked, this, [this] { model().refreshAudioDevices(); });

    auto* level = new QGroupBox(this);
    auto* levelRows = new QVBoxLayout(level);
    levelRows->setSpacing(6);
    auto* gainRow = new QHBoxLayout;
    gainText_ = new QLabel(level);
    // As wide as its widest reading, so the slider stays put while it moves.
    gainText_->setMinimumWidth(
        std::max(gainText_->fontMetrics().horizontalAdvance(qs(gainLabel(-24))),
                 gainText_->fontMetrics().horizontalAdvance(qs(gainLabel(24)))) +
        4);
    gain_ = new QSlider(Qt::Horizontal, level);
    gain_->setRange(-24, 24);
    gain_->setSingleStep(1);
    gain_->setPageStep(6);
    gain_->setAccessibleName(QStringLiteral("Gain"));
    gainText_->setBuddy(gain_);
    reset_ = new QPushButton(QStringLiteral("Reset"), level);
    reset_->setAccessibleDescription(QStringLiteral("Sets the gain back to 0 dB"));
    gainRow->addWidget(gainText_);
    gainRow->addWidget(gain_, 1);
    gainRow->addWidget(reset_);
    levelRows->addLayout(gainRow);
    levelRows->addWidget(captionLabel(
        QStringLiteral("Limited to −1 dBFS. In Zoom, choose “Original sound for musicians” so the "
                       "program is not treated as speech."),
        level));
    page->addWidget(level);
    connect(gain_, &QSlider::valueChanged, this, [this](int value) {
        model().setAudioGainDb(value);
        render();
    });
    connect(reset_, &QPushButton::clicked, this, [this] {
        model().setAudioGainDb(0);
        render();
    });
    page->addStretch(1);
}

void AudioSettings::render() {
    const AppModel& m = model();
    outputRow_->setEnabled(!m.running());
    std::vector<std::string> names;
    std::vector<std::uint32_t> ids = {0};
    for (const auto& d : m.audioDevices()) {
        names.push_back(d.name);
        ids.push_back(d.id);
    }
    if (ids != shownIds_ || names != shownNames_) {
        shownIds_ = ids;
        shownNames_ = names;
        QSignalBlocker quiet(output_);
        output_->clear();
        output_->addItem(QStringLiteral("None"));
        for (const auto& name : names) output_->addItem(qs(name));
    }
    int current = 0;
    for (std::size_t i = 0; i < shownIds_.size(); ++i)
        if (shownIds_[i] == m.selectedAudioDevice()) current = static_cast<int>(i);
    output_->setCurrentIndex(current);

    // The slider shows whole dB; a stored gain between steps stays as it is.
    const double gain = m.audioGainDb();
    {
        QSignalBlocker quiet(gain_);
        gain_->setValue(static_cast<int>(std::trunc(gain)));
    }
    showText(gainText_, gainLabel(gain));
    reset_->setEnabled(gain != 0);
}

}  // namespace vsc
