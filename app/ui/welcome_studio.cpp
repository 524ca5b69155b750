// The welcome assistant's third page: finding the studio on the network, or
// typing its address.
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "app/model/platform_texts.h"
#include "app/ui/welcome_pages.h"

namespace vsc {
namespace {

constexpr int kVisibleRows = 4;

QString rowName(const PcrEntry& entry) {
    return qs(entry.name.empty() ? entry.serviceName : entry.name);
}

}  // namespace

StudioRow::StudioRow(const PcrEntry& entry, QWidget* parent)
    : QAbstractButton(parent), identifier_(entry.identifier()), onAir_(!entry.stage.empty()) {
    setText(rowName(entry));
    setAccessibleName(text() + (onAir_ ? QStringLiteral(", on air") : QStringLiteral(", off air")));
    setFocusPolicy(Qt::StrongFocus);
    setCheckable(false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void StudioRow::setSelected(bool selected) {
    if (selected == selected_) return;
    selected_ = selected;
    update();
}

QSize StudioRow::sizeHint() const {
    return QSize(200, fontMetrics().height() + 14);
}

void StudioRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (hasFocus() || isDown()) {
        QColor focus = panel_colors::accent();
        focus.setAlphaF(isDown() ? 0.25f : 0.12f);
        p.fillRect(rect(), focus);
    }
    // The radio mark: a ring with a dot for the chosen studio.
    const int mark = 14;
    const QRectF ring(10, (height() - mark) / 2.0, mark, mark);
    const QColor accent = panel_colors::accent();
    p.setPen(QPen(selected_ ? accent : panel_colors::secondary(), 1.4));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(ring.adjusted(0.7, 0.7, -0.7, -0.7));
    if (selected_) {
        p.setPen(Qt::NoPen);
        p.setBrush(accent);
        p.drawEllipse(ring.adjusted(3.5, 3.5, -3.5, -3.5));
    }
    // The badge at the right end, then the name in the room left.
    QFont badgeFont = font();
    badgeFont.setBold(true);
    badgeFont.setPointSizeF(badgeFont.pointSizeF() * 0.8);
    const QString badge = onAir_ ? QStringLiteral("ON AIR") : QStringLiteral("off air");
    const int badgeWidth = QFontMetrics(badgeFont).horizontalAdvance(badge);
    const QRect badgeBox(width() - 10 - badgeWidth, 0, badgeWidth, height());
    p.setFont(badgeFont);
    p.setPen(onAir_ ? panel_colors::kRed : panel_colors::secondary());
    p.drawText(badgeBox, Qt::AlignVCenter | Qt::AlignRight, badge);
    p.setFont(font());
    p.setPen(palette().color(QPalette::WindowText));
    const QRect nameBox(10 + mark + 8, 0, badgeBox.left() - 8 - (10 + mark + 8), height());
    p.drawText(nameBox, Qt::AlignVCenter | Qt::AlignLeft,
               fontMetrics().elidedText(text(), Qt::ElideRight, nameBox.width()));
}

WelcomeStudioPage::WelcomeStudioPage(std::shared_ptr<AppModel> shown, WelcomeState& state,
                                     QWidget* parent)
    : ModelView(std::move(shown), parent), state_(state) {
    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(12);
    page->addWidget(pageTitle(QStringLiteral("Choose your studio"), this));
    page->addWidget(secondaryLabel(QString::fromUtf8(texts::kWelcomeStudioIntro), this));

    find_ = new QPushButton(QStringLiteral("Find my studio"), this);
    find_->setAutoDefault(false);
    // The prominent style: filled with the accent colour.
    QPalette prominent = find_->palette();
    prominent.setColor(QPalette::Button, panel_colors::accent());
    prominent.setColor(QPalette::ButtonText, Qt::white);
    find_->setPalette(prominent);
    page->addWidget(find_, 0, Qt::AlignLeft);
    connect(find_, &QPushButton::clicked, this, [this] { model().startDiscoveryOnce(); });

    searching_ = new QWidget(this);
    auto* searchingRow = new QHBoxLayout(searching_);
    searchingRow->setContentsMargins(0, 0, 0, 0);
    searchingRow->addWidget(new Spinner(searching_));
    searchingRow->addWidget(secondaryLabel(QStringLiteral("Searching your network…"), searching_),
                            1);
    page->addWidget(searching_);

    list_ = new QScrollArea(this);
    list_->setObjectName("studios");
    list_->setAccessibleName(QStringLiteral("Studios found"));
    list_->setFocusPolicy(Qt::NoFocus);
    QColor outline = panel_colors::secondary();
    outline.setAlphaF(0.3f);
    list_->setStyleSheet(QStringLiteral("QScrollArea#studios { border: 1px solid %1; "
                                        "border-radius: 8px; background: transparent; }")
                             .arg(outline.name(QColor::HexArgb)));
    list_->setWidgetResizable(true);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    rowsBox_ = new QWidget;
    rowsBox_->setAutoFillBackground(false);
    auto* rows = new QVBoxLayout(rowsBox_);
    rows->setContentsMargins(1, 1, 1, 1);
    rows->setSpacing(0);
    list_->setWidget(rowsBox_);
    list_->viewport()->setAutoFillBackground(false);
    page->addWidget(list_);

    // The disclosure: its header, and 6 points below it the address fields.
    auto* disclosure = new QWidget(this);
    auto* disclosureRows = new QVBoxLayout(disclosure);
    disclosureRows->setContentsMargins(0, 0, 0, 0);
    disclosureRows->setSpacing(6);
    manualToggle_ = new QToolButton(disclosure);
    manualToggle_->setText(QStringLiteral("Enter an address…"));
    manualToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    manualToggle_->setAutoRaise(true);
    manualToggle_->setAccessibleDescription(QStringLiteral("Shows or hides the address fields"));
    disclosureRows->addWidget(manualToggle_, 0, Qt::AlignLeft);
    connect(manualToggle_, &QToolButton::clicked, this, [this] {
        state_.manualAddress = !state_.manualAddress;
        render();
    });

    manual_ = new QWidget(disclosure);
    auto* manualRows = new QVBoxLayout(manual_);
    manualRows->setContentsMargins(0, 0, 0, 0);
    manualRows->setSpacing(6);
    auto* hostRow = new QHBoxLayout;
    pcrHost_ = new QLineEdit(manual_);
    pcrHost_->setPlaceholderText(QStringLiteral("PCR address"));
    pcrHost_->setAccessibleName(QStringLiteral("PCR address"));
    detect_ = new QPushButton(QStringLiteral("Detect program"), manual_);
    detect_->setAutoDefault(false);
    hostRow->addWidget(pcrHost_, 1);
    hostRow->addWidget(detect_);
    manualRows->addLayout(hostRow);
    url_ = new QLineEdit(manual_);
    url_->setPlaceholderText(QStringLiteral("rtsp://<pcr-ip>:8554/STAGE_<id>"));
    url_->setAccessibleName(QStringLiteral("Program URL"));
    manualRows->addWidget(url_);
    detectStatus_ = captionLabel(QString(), manual_);
    manualRows->addWidget(detectStatus_);
    disclosureRows->addWidget(manual_);
    page->addWidget(disclosure);
    connect(pcrHost_, &QLineEdit::textEdited, this,
            [this](const QString& text) { model().setPcrHost(text.toStdString()); });
    connect(url_, &QLineEdit::textEdited, this,
            [this](const QString& text) { model().setUrl(text.toStdString()); });
    connect(detect_, &QPushButton::clicked, this, [this] { model().detectProgramURL(); });
    page->addStretch(1);
}

void WelcomeStudioPage::rebuildRows() {
    auto* rows = static_cast<QVBoxLayout*>(rowsBox_->layout());
    while (QLayoutItem* item = rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    rows_.clear();
    QColor line = panel_colors::secondary();
    line.setAlphaF(0.3f);
    for (const PcrEntry& entry : shownEntries_) {
        auto* row = new StudioRow(entry, rowsBox_);
        const std::string id = entry.identifier();
        connect(row, &QAbstractButton::clicked, this, [this, id] {
            model().setSelectedPcrId(id);
            render();
        });
        rows->addWidget(row);
        rows_.push_back(row);
        auto* divider = new QFrame(rowsBox_);
        divider->setFixedHeight(1);
        divider->setStyleSheet(QStringLiteral("background: %1;").arg(line.name(QColor::HexArgb)));
        rows->addWidget(divider);
        // Shown now, not on the layout's next pass, if the list is.
        row->setVisible(true);
        divider->setVisible(true);
    }
    // Rows made now come after the whole window in the Tab order: put them
    // where the list is.
    QWidget* before = find_;
    for (StudioRow* row : rows_) {
        QWidget::setTabOrder(before, row);
        before = row;
    }
    QWidget::setTabOrder(before, manualToggle_);
    // At most a few rows tall; more scroll.
    const int rowHeight = rows_.empty() ? 0 : rows_.front()->sizeHint().height() + 1;
    const int shown = std::min<int>(static_cast<int>(rows_.size()), kVisibleRows);
    list_->setFixedHeight(shown * rowHeight + 4);
}

void WelcomeStudioPage::render() {
    const AppModel& m = model();
    find_->setVisible(!m.discoveryStarted());
    searching_->setVisible(m.discoveryStarted() && m.pcrs().empty());
    list_->setVisible(m.discoveryStarted() && !m.pcrs().empty());
    if (m.pcrs() != shownEntries_) {
        shownEntries_ = m.pcrs();
        rebuildRows();
    }
    for (StudioRow* row : rows_) row->setSelected(row->identifier() == m.selectedPcrId());

    manualToggle_->setArrowType(state_.manualAddress ? Qt::DownArrow : Qt::RightArrow);
    manual_->setVisible(state_.manualAddress);
    showText(pcrHost_, m.pcrHost());
    showText(url_, m.url());
    showText(detectStatus_, m.detectStatus());
    detectStatus_->setVisible(!m.detectStatus().empty());
}

}  // namespace vsc
