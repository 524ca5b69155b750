#pragma once

#include <QWidget>
#include <memory>

#include "app/model/app_model.h"

namespace vsc {

// A widget that shows the model. After a change of the model it renders once
// per pass of the event loop, and only while it is visible: the level meter
// alone changes the model 30 times a second. Showing it renders it.
class ModelView : public QWidget {
  public:
    ModelView(std::shared_ptr<AppModel> model, QWidget* parent = nullptr,
              Qt::WindowFlags flags = {});

    // Brings every control up to date with the model.
    virtual void render() = 0;

  protected:
    AppModel& model() const { return *model_; }
    void showEvent(QShowEvent* event) override;

    std::shared_ptr<AppModel> model_;

  private:
    void scheduleRender();
    bool renderPending_ = false;
};

}  // namespace vsc
