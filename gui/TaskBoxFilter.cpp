// The keystroke filter of the task boxes.
#include "gui/TaskBoxFilter.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QVariant>

namespace vontal {

namespace {
constexpr const char* kKindProperty = "vontalTaskBoxKind";
}

bool TaskBoxAccepts(TaskBoxKind kind, const QString& boxText, QChar c) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) return true;
    if (kind != TaskBoxKind::Multiplier) return false;
    if (c == QLatin1Char('e') || c == QLatin1Char('E')) return !boxText.contains(QLatin1Char('e'), Qt::CaseInsensitive);
    return false;
}

int TaskBoxLength(TaskBoxKind kind) {
    switch (kind) {
        case TaskBoxKind::Exponent: return 5;
        case TaskBoxKind::Multiplier: return 18;
        case TaskBoxKind::Clock: return 4;
    }
    return 0;
}

void TaskBoxFilter::Watch(QLineEdit* box, TaskBoxKind kind) {
    box->setProperty(kKindProperty, static_cast<int>(kind));
    box->installEventFilter(this);
}

bool TaskBoxFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    auto* box = qobject_cast<QLineEdit*>(watched);
    const QVariant kindValue = watched->property(kKindProperty);
    if (!box || !kindValue.isValid()) return false;
    const auto kind = static_cast<TaskBoxKind>(kindValue.toInt());
    const auto* key = static_cast<QKeyEvent*>(event);
    // The length limit is kept here, not by maxLength, which would cut a value read from the
    // settings file or set by the control server.
    if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    const QString text = key->text();
    if (text.isEmpty() || !text.at(0).isPrint()) return false;
    QString after = box->text();
    for (QChar c : text) {
        if (!TaskBoxAccepts(kind, after, c)) return true;
        after += c;
    }
    return box->text().size() - box->selectedText().size() + text.size() > TaskBoxLength(kind);
}

}  // namespace vontal
