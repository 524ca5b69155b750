#include "app/ui/model_view.h"

#include <QPointer>

namespace vsc {

ModelView::ModelView(std::shared_ptr<AppModel> model, QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), model_(std::move(model)) {
    // The model outlives its views in tests: a view gone hears nothing.
    model_->observe([view = QPointer<ModelView>(this)] {
        if (view) view->scheduleRender();
    });
}

void ModelView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    render();
}

void ModelView::scheduleRender() {
    if (renderPending_ || !isVisible()) return;
    renderPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            renderPending_ = false;
            render();
        },
        Qt::QueuedConnection);
}

}  // namespace vsc
