#pragma once

#include <functional>

#include <QObject>

class QAbstractButton;

namespace skrib {

/// Lets a button run a closure. The button owns its action object (as a child named "action"),
/// so the closure lives exactly as long as the button; wiring a button again replaces its
/// previous action.
class ClosureAction : public QObject {
    Q_OBJECT

public:
    /// `closure` must be callable; an empty one stops the program.
    explicit ClosureAction(std::function<void()> closure, QObject* parent = nullptr);

    /// Makes `button` run `closure` when clicked, replacing what an earlier call installed.
    static ClosureAction* attach(QAbstractButton* button, std::function<void()> closure);

public slots:
    /// Runs the closure.
    void invoke();

private:
    std::function<void()> closure;
};

} // namespace skrib
