#pragma once

// Checks every window of the application should pass: each control a
// keyboard reaches has a name for screen readers, and the Tab key goes
// through the controls in reading order.
#include <QAccessible>
#include <cstdio>
#include <QWidget>
#include <string>
#include <vector>

namespace vsc::test {

inline bool reachable(const QWidget* w) {
    return (w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled();
}

// The controls Tab reaches but a screen reader cannot name; empty when all can.
inline std::vector<std::string> unnamedControls(QWidget* window) {
    std::vector<std::string> unnamed;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        // Popups (a picker's list) are windows of their own, named by Qt.
        if (!(w->focusPolicy() & Qt::TabFocus) || w->window() != window) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
            unnamed.push_back(std::string(w->metaObject()->className()) + " " +
                              w->objectName().toStdString() + " in " +
                              w->parentWidget()->metaObject()->className());
    }
    for (const auto& u : unnamed) std::fprintf(stderr, "unnamed control: %s\n", u.c_str());
    return unnamed;
}

// Walks the Tab chain of a shown window and returns the first pair of
// controls that goes against reading order (top to bottom, left to right
// within a row), or an empty text.
inline std::string tabOrderFault(QWidget* window) {
    std::vector<QWidget*> chain;
    QWidget* w = window;
    do {
        w = w->nextInFocusChain();
        if (w != window && reachable(w) && window->isAncestorOf(w)) chain.push_back(w);
    } while (w != window && chain.size() < 500);
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const QRect a(chain[i - 1]->mapTo(window, QPoint()), chain[i - 1]->size());
        const QRect b(chain[i]->mapTo(window, QPoint()), chain[i]->size());
        const bool sameRow = std::abs(a.center().y() - b.center().y()) < 12;
        const bool inOrder = sameRow ? b.left() > a.left() : b.top() >= a.bottom() - 4;
        if (!inOrder) {
            QAccessibleInterface* ia = QAccessible::queryAccessibleInterface(chain[i - 1]);
            QAccessibleInterface* ib = QAccessible::queryAccessibleInterface(chain[i]);
            return (ia ? ia->text(QAccessible::Name).toStdString() : "?") + " before " +
                   (ib ? ib->text(QAccessible::Name).toStdString() : "?");
        }
    }
    return "";
}

}  // namespace vsc::test
