#include "app/ui/settings_window.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPointer>
#include <QScrollArea>
#include <QVBoxLayout>

namespace vsc {
namespace {

// A page scrolls rather than being cut when the window is made small.
QWidget* scrolling(QWidget* page, SettingsTab tab, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setAccessibleName(QString::fromUtf8(title(tab)));
    // Tab goes to the page's controls, and the page scrolls to show them.
    area->setFocusPolicy(Qt::NoFocus);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(page);
    return area;
}

}  // namespace

SettingsWindow::SettingsWindow(std::shared_ptr<AppModel> model, SettingsTabSelection& selection,
                               ShellCommands shell)
    : QWidget(nullptr, Qt::Window), selection_(selection) {
    setObjectName("settingsWindow");
    setWindowTitle(QStringLiteral("Vendaroscope Virtual Webcam Settings"));
    setMinimumSize(620, 480);
    resize(660, 520);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* bar = new QWidget(this);
    auto* barRow = new QHBoxLayout(bar);
    barRow->setContentsMargins(20, 12, 20, 12);
    sections_ = new QTabBar(bar);
    sections_->setObjectName("settingsSection");
    sections_->setAccessibleName(QStringLiteral("Section"));
    sections_->setDrawBase(false);
    sections_->setExpanding(false);
    for (SettingsTab tab : kAllSettingsTabs) sections_->addTab(QString::fromUtf8(title(tab)));
    barRow->addStretch(1);
    barRow->addWidget(sections_);
    barRow->addStretch(1);
    stack->addWidget(bar);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    stack->addWidget(divider);

    pages_ = new QStackedWidget(this);
    general_ = new GeneralSettings(model, shell, nullptr);
    audio_ = new AudioSettings(model, nullptr);
    sync_ = new SyncSettings(model, nullptr);
    ndi_ = new NDISettings(model, nullptr);
    maintenance_ = new MaintenanceSettings(model, nullptr);
    diagnostics_ = new DiagnosticsView(model, nullptr);
    QWidget* const pages[] = {general_, audio_, sync_, ndi_, maintenance_};
    for (std::size_t i = 0; i < std::size(pages); ++i)
        pages_->addWidget(scrolling(pages[i], kAllSettingsTabs[i], pages_));
    // The diagnostics fit the smallest window; their log scrolls by itself.
    pages_->addWidget(diagnostics_);
    stack->addWidget(pages_, 1);

    showTab(selection_.tab());
    connect(sections_, &QTabBar::currentChanged, this, [this](int index) {
        if (index < 0 || index >= static_cast<int>(kAllSettingsTabs.size())) return;
        const SettingsTab tab = kAllSettingsTabs[static_cast<std::size_t>(index)];
        if (tab != selection_.tab()) selection_.setTab(tab);
        showTab(tab);
    });
    selection_.observe([window = QPointer<SettingsWindow>(this)] {
        if (window) window->showTab(window->selection_.tab());
    });
}

void SettingsWindow::showTab(SettingsTab tab) {
    const int index = static_cast<int>(tab);
    if (sections_->currentIndex() != index) sections_->setCurrentIndex(index);
    pages_->setCurrentIndex(index);
}

QWidget* SettingsWindow::shownPage() const {
    auto* area = qobject_cast<QScrollArea*>(pages_->currentWidget());
    return area ? area->widget() : pages_->currentWidget();
}

void SettingsWindow::render() {
    for (ModelView* page : std::initializer_list<ModelView*>{general_, audio_, sync_, ndi_,
                                                             maintenance_, diagnostics_})
        page->render();
}

void SettingsWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace vsc
