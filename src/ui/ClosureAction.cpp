#include "ui/ClosureAction.h"

#include <QAbstractButton>
#include <QtGlobal>

namespace skrib {

ClosureAction::ClosureAction(std::function<void()> closure, QObject* parent)
    : QObject(parent)
    , closure(std::move(closure)) {
    if (!this->closure) {
        qFatal("ClosureAction needs a closure");
    }
}

ClosureAction* ClosureAction::attach(QAbstractButton* button, std::function<void()> closure) {
    const QString key = QStringLiteral("action");
    // Deleting the previous action also drops its connection to the button.
    delete button->findChild<ClosureAction*>(key, Qt::FindDirectChildrenOnly);
    auto* action = new ClosureAction(std::move(closure), button);
    action->setObjectName(key);
    QObject::connect(button, &QAbstractButton::clicked, action, &ClosureAction::invoke);
    return action;
}

void ClosureAction::invoke() {
    closure();
}

} // namespace skrib
