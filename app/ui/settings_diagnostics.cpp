// The settings' Diagnostics page: live values of the sending path and the
// activity log, which can be copied for a support request.
#include <QClipboard>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QVBoxLayout>
#include <cstdio>

#include "app/audio/audio_driver_installer.h"
#include "app/camera/camera_extension_installer.h"
#include "app/ui/settings_pages.h"

namespace vsc {
namespace {

const char* const kLabels[] = {"Camera sink", "Decoder",          "Input",
                               "Audio level", "Program",          "Camera extension",
                               "Microphone driver"};

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

}  // namespace

DiagnosticsView::DiagnosticsView(std::shared_ptr<AppModel> shown, QWidget* parent)
    : ModelView(std::move(shown), parent) {
    setMinimumSize(560, 420);
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(20, 20, 20, 20);
    page->setSpacing(12);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(6);
    int row = 0;
    for (const char* label : kLabels) {
        auto* title = new QLabel(QString::fromUtf8(label), this);
        makeSecondary(title);
        auto* value = new QLabel(this);
        value->setWordWrap(true);
        value->setAccessibleName(QString::fromUtf8(label));
        title->setBuddy(value);
        grid->addWidget(title, row, 0, Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(value, row, 1, Qt::AlignTop);
        values_.push_back({QString::fromUtf8(label), value});
        ++row;
    }
    grid->setColumnStretch(1, 1);
    this->value(QStringLiteral("Program"))->setTextInteractionFlags(Qt::TextSelectableByMouse);
    page->addLayout(grid);

    auto* header = new QHBoxLayout;
    auto* logTitle = new QLabel(QStringLiteral("Log"), this);
    scaleFont(logTitle, 1.0, true);
    copyLog_ = new QPushButton(QStringLiteral("Copy log"), this);
    header->addWidget(logTitle);
    header->addStretch(1);
    header->addWidget(copyLog_);
    page->addLayout(header);
    connect(copyLog_, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(qs(joined(model().logLines())));
    });

    log_ = new QPlainTextEdit(this);
    log_->setReadOnly(true);
    log_->setMinimumHeight(80);
    log_->setAccessibleName(QStringLiteral("Activity log"));
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(font().pointSizeF() * 0.88);
    log_->setFont(mono);
    QColor fill = panel_colors::secondary();
    fill.setAlphaF(0.08f);
    log_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: %1; border: none; "
                                       "border-radius: 6px; padding: 4px; }")
                            .arg(fill.name(QColor::HexArgb)));
    page->addWidget(log_, 1);
}

QLabel* DiagnosticsView::value(const QString& label) const {
    for (const auto& [name, value] : values_)
        if (name == label) return value;
    return nullptr;
}

void DiagnosticsView::render() {
    const AppModel& m = model();
    char input[96];
    std::snprintf(input, sizeof input, "%.0f fps · %lld dropped", m.inputFps(),
                  static_cast<long long>(m.droppedFrames()));
    char level[32] = "—";
    if (m.audioLevel() > 0) std::snprintf(level, sizeof level, "%.0f dB", m.audioLevelDb());
    showText(value(QStringLiteral("Camera sink")), m.sinkStatus());
    showText(value(QStringLiteral("Decoder")), m.ffmpegRunning() ? "Running" : "Stopped");
    showText(value(QStringLiteral("Input")), input);
    showText(value(QStringLiteral("Audio level")), level);
    showText(value(QStringLiteral("Program")), m.url().empty() ? "—" : m.url());
    showText(value(QStringLiteral("Camera extension")), summary(m.extensionState()));
    showText(value(QStringLiteral("Microphone driver")), summary(m.audioDriverState()));

    if (m.logLines() != shownLines_) {
        shownLines_ = m.logLines();
        // The view follows new lines while it is at the end; a reader who
        // scrolled up keeps the place.
        QScrollBar* bar = log_->verticalScrollBar();
        const bool atEnd = bar->value() >= bar->maximum();
        const int place = bar->value();
        log_->setPlainText(qs(joined(shownLines_)));
        bar->setValue(atEnd ? bar->maximum() : place);
    }
}

}  // namespace vsc
