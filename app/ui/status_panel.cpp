#include "app/ui/status_panel.h"

#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace vsc {
namespace {

constexpr int kPanelWidth = 340;
constexpr int kPadding = 14;
constexpr int kTitleWidth = 84;
// The Stop button's fill: an sRGB grey, opaque.
const QColor kStopFill = QColor::fromRgbF(0.42f, 0.42f, 0.42f);

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

StatusPanel::StatusPanel(std::shared_ptr<AppModel> model, ShellCommands shell, Mode mode)
    : ModelView(std::move(model), nullptr,
                mode == Mode::popup ? Qt::Popup | Qt::FramelessWindowHint : Qt::Window),
      shell_(std::move(shell)),
      mode_(mode) {
    setObjectName("statusPanel");
    setWindowTitle(QStringLiteral("Vendaroscope Virtual Webcam"));
    setFixedWidth(kPanelWidth);
    setAttribute(Qt::WA_DeleteOnClose, false);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    stack->setSpacing(12);
    stack->setSizeConstraint(QLayout::SetFixedSize);

    // Header.
    auto* header = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Vendaroscope Virtual Webcam"), this);
    QFont headline = title->font();
    headline.setWeight(QFont::DemiBold);
    headline.setPointSizeF(headline.pointSizeF() * 1.1);
    title->setFont(headline);
    badge_ = new OnAirBadge(this);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(badge_);
    stack->addLayout(header);

    preview_ = new PreviewBox(this);
    stack->addWidget(preview_);

    banner_ = new ProblemBanner(this);
    banner_->setFixedWidth(kPanelWidth - 2 * kPadding);
    stack->addWidget(banner_);

    // Studio chooser.
    auto* chooser = new QHBoxLayout;
    chooser->setSpacing(8);
    auto* from = new QLabel(QStringLiteral("From"), this);
    makeSecondary(from);
    picker_ = new QComboBox(this);
    picker_->setAccessibleName(QStringLiteral("Studio"));
    picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker_->setMinimumContentsLength(12);
    picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    chooser->addWidget(from);
    chooser->addWidget(picker_, 1);
    stack->addLayout(chooser);
    connect(picker_, QOverload<int>::of(&QComboBox::activated), this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < shownItems_.size())
            model_->setSelectedPcrId(shownItems_[static_cast<std::size_t>(index)].id);
    });

    // Status lines.
    auto* lines = new QVBoxLayout;
    lines->setSpacing(9);
    programDetail_ = new ElidedLabel(this);
    makeSecondary(programDetail_);
    cameraDetail_ = new ElidedLabel(this);
    makeSecondary(cameraDetail_);
    auto* microphone = new QWidget(this);
    auto* microphoneLayout = new QHBoxLayout(microphone);
    microphoneLayout->setContentsMargins(0, 0, 0, 0);
    microphoneText_ = new QLabel(microphone);
    makeSecondary(microphoneText_);
    meter_ = new LevelMeter(microphone);
    microphoneLayout->addWidget(microphoneText_, 1);
    microphoneLayout->addWidget(meter_, 1);
    lines->addWidget(statusRow("Program", programIcon_, programDetail_));
    lines->addWidget(statusRow("Camera", cameraIcon_, cameraDetail_));
    lines->addWidget(statusRow("Microphone", microphoneIcon_, microphone));
    stack->addLayout(lines);

    // Start/stop row.
    auto* control = new QHBoxLayout;
    control->setSpacing(10);
    startStop_ = new SolidButton(this);
    startingSpinner_ = new Spinner(this);
    startingText_ = new QLabel(QStringLiteral("Starting…"), this);
    makeSecondary(startingText_);
    control->addWidget(startStop_, 1);
    control->addWidget(startingSpinner_);
    control->addWidget(startingText_);
    stack->addLayout(control);
    connect(startStop_, &QAbstractButton::clicked, this,
            [this] { model_->toggleSendingFromPanel(); });

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    QPalette dividerPalette = divider->palette();
    QColor line = panel_colors::secondary();
    line.setAlphaF(0.25f);
    dividerPalette.setColor(QPalette::WindowText, line);
    divider->setPalette(dividerPalette);
    stack->addWidget(divider);

    // Commands.
    auto* commands = new QVBoxLayout;
    commands->setSpacing(0);
    const char* titles[] = {"Settings…", "Diagnostics…", "Quit"};
    for (int i = 0; i < 3; ++i) {
        commands_[i] = new PanelMenuButton(QString::fromUtf8(titles[i]), this);
        commands->addWidget(commands_[i]);
    }
    stack->addLayout(commands);
    connect(commands_[0], &QAbstractButton::clicked, this, [this] {
        if (mode_ == Mode::popup) hide();
        if (shell_.showSettings) shell_.showSettings(std::nullopt);
    });
    connect(commands_[1], &QAbstractButton::clicked, this, [this] {
        if (mode_ == Mode::popup) hide();
        if (shell_.showSettings) shell_.showSettings(SettingsTab::diagnostics);
    });
    connect(commands_[2], &QAbstractButton::clicked, this,
            [this] { model_->quitFromMenu(shell_.quit); });

    render();
}

QWidget* StatusPanel::statusRow(const char* title, RowIcon*& icon, QWidget* detail) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    icon = new RowIcon(row);
    auto* label = new QLabel(QString::fromUtf8(title), row);
    label->setFixedWidth(kTitleWidth);
    detail->setParent(row);
    layout->addWidget(icon, 0, Qt::AlignVCenter);
    layout->addWidget(label);
    layout->addWidget(detail, 1);
    return row;
}

void StatusPanel::render() {
    AppModel& m = *model_;

    auto badge = onAirBadge(m);
    badge_->setVisible(badge.has_value());
    if (badge) badge_->setOnAir(badge->onAir);

    preview_->setVisible(m.running());
    if (m.running()) {
        const auto& image = m.preview();
        if (image && !image->rgb.empty()) {
            // Each new preview arrives in a buffer of its own: copy it once,
            // not on every render the level meter causes.
            if (image->rgb.data() != shownPreview_) {
                shownPreview_ = image->rgb.data();
                QImage picture(image->rgb.data(), image->width, image->height, image->width * 3,
                               QImage::Format_RGB888);
                preview_->setImage(picture.copy());
            }
        } else {
            shownPreview_ = nullptr;
            preview_->setImage(QImage());
            preview_->setCaption(m.receivingProgram() ? QStringLiteral("Preview…")
                                                      : QStringLiteral("Waiting for the program…"));
        }
    }

    auto problem = m.currentProblem();
    banner_->setVisible(problem.has_value());
    if (problem) banner_->setContent(bannerContent(*problem, m, shell_));

    auto items = pickerItems(m);
    if (items != shownItems_) {
        shownItems_ = items;
        picker_->clear();
        for (const auto& item : items) picker_->addItem(q(item.label));
    }
    int selected = 0;
    for (std::size_t i = 0; i < shownItems_.size(); ++i)
        if (shownItems_[i].id == m.selectedPcrId()) selected = static_cast<int>(i);
    picker_->setCurrentIndex(selected);
    picker_->setEnabled(!m.running());

    auto program = programRow(m);
    programIcon_->setTone(program.tone);
    programDetail_->setFullText(q(program.detail));
    auto camera = cameraRow(m);
    cameraIcon_->setTone(camera.tone);
    cameraDetail_->setFullText(q(camera.detail));
    auto microphone = microphoneLine(m);
    microphoneIcon_->setTone(microphone.tone);
    microphoneText_->setVisible(!microphone.meter);
    microphoneText_->setText(q(microphone.text));
    meter_->setVisible(microphone.meter);
    meter_->setLevel(microphone.level);

    auto control = startStopContent(m);
    startStop_->setText(q(control.label));
    startStop_->setEnabled(control.enabled);
    startStop_->setFill(m.running() ? kStopFill : panel_colors::accent());
    startingSpinner_->setVisible(control.starting);
    startingText_->setVisible(control.starting);
}

void StatusPanel::popUp(const QRect& anchor) {
    render();
    adjustSize();
    QRect near = anchor.isEmpty() ? QRect(QCursor::pos(), QSize(1, 1)) : anchor;
    QScreen* screen = QGuiApplication::screenAt(near.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen->availableGeometry();
    // A window without an icon to stand by opens in the middle of the screen.
    if (anchor.isEmpty() && mode_ == Mode::window) near = QRect(area.center(), QSize(1, 1));
    const QSize size = sizeHint().expandedTo(this->size());
    int x = near.center().x() - size.width() / 2;
    // Below an icon in the top half of the screen, above one in the bottom half.
    int y =
        near.center().y() < area.center().y() ? near.bottom() + 6 : near.top() - size.height() - 6;
    if (anchor.isEmpty() && mode_ == Mode::window) y = area.center().y() - size.height() / 2;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
    move(x, y);
    show();
    raise();
    activateWindow();
}

void StatusPanel::showEvent(QShowEvent* event) {
    ModelView::showEvent(event);  // renders
    // A popup has the focus while it is shown; a window only while active.
    if (mode_ == Mode::popup) reportVisible(true);
    if (onShown) onShown();
}

void StatusPanel::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    reportVisible(false);
}

void StatusPanel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && mode_ == Mode::window)
        reportVisible(isVisible() && isActiveWindow());
}

void StatusPanel::keyPressEvent(QKeyEvent* event) {
    // Return is the start/stop control's key, as for a default button.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        startStop_->isEnabled()) {
        startStop_->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void StatusPanel::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    if (mode_ != Mode::popup) return;
    // A popup gets no frame from the window manager: draw its edge, so it
    // stands apart from a window of the same colour behind it.
    QPainter p(this);
    QColor edge = panel_colors::secondary();
    edge.setAlphaF(0.45f);
    p.setPen(edge);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void StatusPanel::reportVisible(bool visible) {
    if (visible == reportedVisible_) return;
    reportedVisible_ = visible;
    model_->panelVisibilityChanged(visible);
}

}  // namespace vsc
