#pragma once

#include "state/AppState.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <QColor>
#include <QIcon>
#include <QKeySequence>
#include <QList>
#include <QString>

class QMenu;

namespace skrib {

/// The tray dot and its context menu.
class TrayMenu {
public:
    TrayMenu() = delete;

    enum class Action {
        none,
        separator,
        toggleRecording,
        retryKept,
        openWindow,
        checkForUpdates,
        quit
    };

    struct Item {
        Action action = Action::none;
        QString title;
        bool enabled = false;
        QKeySequence shortcut;
    };

    /// The menu for the state now, top to bottom (built afresh on every right click), with
    /// `keptCount` dictations waiting to be sent again.
    static QList<Item> items(SkribState state, const std::optional<std::string>& micName,
                             const QString& version, std::size_t keptCount = 0);
    /// A menu of `items` whose entries run `perform` with their action.
    static void fill(QMenu& menu, const QList<Item>& items,
                     const std::function<void(Action)>& perform);

    /// The dot's colour for a state.
    static QColor dotColor(SkribState state);
    /// A 10 × 10 filled circle in the state's colour, centred on a 20 × 20 transparent icon.
    static QIcon dotIcon(SkribState state);
};

} // namespace skrib
