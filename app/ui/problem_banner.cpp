#include "app/ui/problem_banner.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace vsc {

ProblemBanner::ProblemBanner(QWidget* parent) : QFrame(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 10, 10, 10);
    column->setSpacing(6);
    title_ = new QLabel(this);
    title_->setObjectName("bannerTitle");
    QFont callout = title_->font();
    callout.setWeight(QFont::DemiBold);
    title_->setFont(callout);
    title_->setWordWrap(true);
    detail_ = new QLabel(this);
    detail_->setObjectName("bannerDetail");
    QFont caption = detail_->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.9);
    detail_->setFont(caption);
    detail_->setWordWrap(true);
    makeSecondary(detail_);
    column->addWidget(title_);
    column->addWidget(detail_);

    actionRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(actionRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    button_ = new QPushButton(actionRow_);
    button_->setObjectName("bannerAction");
    button_->setAutoDefault(false);
    spinner_ = new Spinner(actionRow_);
    row->addWidget(button_);
    row->addWidget(spinner_);
    row->addStretch(1);
    column->addWidget(actionRow_);
    connect(button_, &QPushButton::clicked, this, [this] {
        // The action may change the model, which rebuilds this banner: run a copy.
        auto action = content_.action;
        if (action) action();
    });
}

void ProblemBanner::setContent(BannerContent content) {
    content_ = std::move(content);
    title_->setText(QString::fromStdString(content_.title));
    detail_->setText(QString::fromStdString(content_.detail));
    const bool hasAction = content_.actionLabel && content_.action;
    actionRow_->setVisible(hasAction);
    if (hasAction) button_->setText(QString::fromStdString(*content_.actionLabel));
    button_->setEnabled(!content_.busy);
    spinner_->setVisible(hasAction && content_.busy);
    update();
}

void ProblemBanner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (content_.informational) {
        QColor fill = panel_colors::secondary();
        fill.setAlphaF(0.12f);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
    } else {
        QColor fill = panel_colors::kOrange;
        fill.setAlphaF(0.15f);
        QColor border = panel_colors::kOrange;
        border.setAlphaF(0.45f);
        p.setPen(QPen(border, 1));
        p.setBrush(fill);
    }
    p.drawRoundedRect(box, 8, 8);
}

}  // namespace vsc
