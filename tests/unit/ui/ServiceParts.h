#pragma once

// What the pages run over: the main queue on virtual time, defaults, notifications, the app state
// and the service client on the fake HTTP stack with a temporary home.

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "state/AppState.h"

#include <QTemporaryDir>

namespace skrib::testing {

struct ServiceParts {
    LogCapture log;
    QTemporaryDir home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    FakeScheduler queue;
    NotificationCenter center;
    AppState appState;
    RefineClient client{{http, secrets, defaults, "http://127.0.0.1:8787",
                         home.path().toStdString(), "Workstation", "6.1.0", {}, center}};
};

} // namespace skrib::testing
