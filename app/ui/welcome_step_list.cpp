// The welcome assistant's list of steps, each ticking itself once the model
// reports it done.
#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app/model/program_url.h"
#include "app/ui/welcome_pages.h"

namespace vsc {

bool stepComplete(const AppModel& model, int step) {
    switch (step) {
        case 0:
            return std::holds_alternative<ExtensionOk>(model.extensionState());
        case 1:
            return std::holds_alternative<DriverOk>(model.audioDriverState()) ||
                   std::holds_alternative<DriverUnavailable>(model.audioDriverState());
        case 2:
            return AppModel::isCompleteProgramURL(trimSpacesAndTabs(model.url()));
        default:
            return false;
    }
}

StepMarker::StepMarker(int number, QWidget* parent) : QWidget(parent), number_(number) {
    setFixedSize(22, 22);
}

void StepMarker::setLook(bool complete, bool current) {
    if (complete == complete_ && current == current_) return;
    complete_ = complete;
    current_ = current;
    update();
}

void StepMarker::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    if (complete_) {
        p.setPen(Qt::NoPen);
        p.setBrush(panel_colors::kGreen);
        p.drawEllipse(box);
        QPainterPath tick;
        tick.moveTo(box.left() + box.width() * 0.28, box.top() + box.height() * 0.52);
        tick.lineTo(box.left() + box.width() * 0.44, box.top() + box.height() * 0.68);
        tick.lineTo(box.left() + box.width() * 0.73, box.top() + box.height() * 0.34);
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
        return;
    }
    const QColor accent = panel_colors::accent();
    p.setPen(QPen(current_ ? accent : panel_colors::secondary(), 1));
    p.setBrush(current_ ? QBrush(accent) : QBrush(Qt::NoBrush));
    p.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
    QFont number = font();
    number.setBold(true);
    number.setPointSizeF(number.pointSizeF() * 0.85);
    p.setFont(number);
    p.setPen(current_ ? QColor(Qt::white) : panel_colors::secondary());
    p.drawText(rect(), Qt::AlignCenter, QString::number(number_));
}

StepList::StepList(const WelcomeState& state, QWidget* parent) : QWidget(parent), state_(state) {
    setFixedWidth(190);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(22, 22, 22, 22);
    column->setSpacing(16);
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull()) {
        auto* picture = new QLabel(this);
        picture->setPixmap(icon.pixmap(48, 48));
        picture->setFixedSize(48, 48);
        picture->setAccessibleName(QStringLiteral("Vendaroscope Virtual Webcam"));
        column->addWidget(picture);
    }
    for (std::size_t i = 0; i < state_.steps.size(); ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        auto* marker = new StepMarker(static_cast<int>(i) + 1, this);
        auto* name = new QLabel(QString::fromUtf8(state_.steps[i]), this);
        // Room for the semibold form, so the name does not shift when chosen.
        QFont bold = name->font();
        bold.setWeight(QFont::DemiBold);
        name->setMinimumWidth(QFontMetrics(bold).horizontalAdvance(name->text()) + 2);
        row->addWidget(marker);
        row->addWidget(name, 1);
        column->addLayout(row);
        markers_.push_back(marker);
        names_.push_back(name);
    }
    column->addStretch(1);
}

void StepList::render(const AppModel& model) {
    for (std::size_t i = 0; i < markers_.size(); ++i) {
        const int index = static_cast<int>(i);
        const bool current = index == state_.step;
        markers_[i]->setLook(stepComplete(model, index), current);
        QFont font = names_[i]->font();
        font.setWeight(current ? QFont::DemiBold : QFont::Normal);
        names_[i]->setFont(font);
        QPalette palette = names_[i]->palette();
        palette.setColor(QPalette::WindowText,
                         index > state_.step ? panel_colors::secondary()
                                             : QApplication::palette().color(QPalette::WindowText));
        names_[i]->setPalette(palette);
    }
}

void StepList::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QColor fill = panel_colors::secondary();
    fill.setAlphaF(0.06f);
    p.fillRect(rect(), fill);
}

}  // namespace vsc
