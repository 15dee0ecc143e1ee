#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "log/DebugLog.h"
#include "log/LogShipper.h"
#include "platform/posix/HomeDirectory.h"
#include "platform/qt/QSettingsDefaults.h"
#include "platform/qt/QtScheduler.h"
#include "platform/wayland/Session.h"
#include "service/RefineClient.h"
#include "service/curl/CurlHttpClient.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so the program shuts down the way a quit does.
void quitOnTerminationSignals(QApplication& app) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// Qt aborts the process when it cannot reach a display; say what is missing instead.
bool displayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

std::string serviceURL() {
    if (const char* url = std::getenv("VANTU_SKRIB_SERVICE_URL"); url != nullptr && *url != '\0') {
        return url;
    }
    return SKRIB_SERVICE_URL;
}

// The version of the installed application folder: the one its desktop entry was stamped with
// when the folder was made ("X-VantuSkrib-Version"), else the version this program was built as.
std::string bundleVersion() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.parent_path().filename() != "bin") {
        return SKRIB_VERSION;
    }
    std::ifstream entry(executable.parent_path().parent_path() / "vantu-skrib.desktop");
    const std::string key = "X-VantuSkrib-Version=";
    std::string line;
    while (std::getline(entry, line)) {
        if (line.rfind(key, 0) == 0) {
            std::string value = line.substr(key.size());
            value.erase(value.find_last_not_of(" \t\r") + 1);
            if (!value.empty()) {
                return value;
            }
        }
    }
    return SKRIB_VERSION;
}

} // namespace

int main(int argc, char** argv) {
    const std::string version = bundleVersion();
    // Answered before anything else starts: no display needed, no log written.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Vantu Skrib %s\n", version.c_str());
            return 0;
        }
    }

    // A closed standard output (started from a pipe whose reader has gone) must not end the
    // program: a failed write is ignored, and the log files carry on.
    std::signal(SIGPIPE, SIG_IGN);

    // Started again while running (from the application menu, say): the running program shows
    // its window, and this start ends before it touches the running program's log files.
    skrib::SingleInstance instance;
    if (!instance.claim()) {
        if (skrib::SingleInstance::handOff()) {
            std::puts("👋 Vantu Skrib is already running — showing its window");
            return 0;
        }
        std::puts("❌ Vantu Skrib is already running but does not answer");
        return 1;
    }

    skrib::prepareLogging(skrib::homeDirectory());

    // The main queue, the HTTP stack and the log shipper exist before the first line, so that
    // line is shipped as well; the queue runs its work once the event loop does.
    static skrib::QtScheduler mainQueue;
    static skrib::CurlHttpClient http;
    const std::string origin = serviceURL();
    skrib::setLogSink(skrib::LogShipper::create(origin, http.sharedSession(), mainQueue, [] {
        const skrib::RefineClient* client = skrib::RefineClient::sharedIfCreated();
        return client != nullptr ? client->currentDeviceId() : std::string();
    }));

    skrib::debugLog("STARTED — Vantu Skrib launching...");

    if (!displayAvailable()) {
        skrib::debugLog("❌ No display to show Vantu Skrib on: DISPLAY is not set (start it from a "
                        "desktop session)");
        return 1;
    }

    // On a Wayland session the windows go through XWayland where it runs: the floating capsule
    // keeps its shape there and can be placed, which a Wayland window of Qt's cannot.
    if (skrib::isWaylandSession() && std::getenv("DISPLAY") != nullptr &&
        std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 0);
    }
    QApplication::setOrganizationName(QStringLiteral("VantuSkrib"));
    QApplication::setApplicationName(QStringLiteral("VantuSkrib"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantu Skrib"));
    QApplication::setApplicationVersion(QString::fromStdString(version));
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // the tray dot keeps running
    mainQueue.start();
    quitOnTerminationSignals(app);

    skrib::QSettingsDefaults defaults;
    auto delegate = std::make_unique<skrib::AppDelegate>(mainQueue, defaults, http, origin, instance);
    mainQueue.post([&delegate] { delegate->applicationDidFinishLaunching(); });

    app.exec();
    delegate->applicationWillTerminate();
    mainQueue.stop();
    skrib::setLogSink(nullptr);
    delegate.reset(); // before the settings store it uses
    return 0;
}
