#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "app/ui/panel_content.h"
#include "app/ui/panel_parts.h"

namespace vsc {

// The box that names the current problem and offers its one-click remedy.
class ProblemBanner final : public QFrame {
  public:
    explicit ProblemBanner(QWidget* parent = nullptr);
    void setContent(BannerContent content);

    QString title() const { return title_->text(); }
    QString detail() const { return detail_->text(); }
    // The action button, shown only when the problem has an action.
    QPushButton* actionButton() const { return button_; }
    bool actionShown() const { return !actionRow_->isHidden(); }
    bool busyShown() const { return !spinner_->isHidden(); }
    bool informational() const { return content_.informational; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    BannerContent content_;
    QLabel* title_;
    QLabel* detail_;
    QWidget* actionRow_;
    QPushButton* button_;
    Spinner* spinner_;
};

}  // namespace vsc
