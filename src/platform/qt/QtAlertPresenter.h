#pragma once

#include "platform/Alerts.h"

namespace skrib {

/// Modal alerts as message boxes.
class QtAlertPresenter final : public AlertPresenter {
public:
    int runModal(const Alert& alert) override;
};

} // namespace skrib
