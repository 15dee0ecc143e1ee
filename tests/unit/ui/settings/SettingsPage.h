#pragma once

// A settings page over real parts: the service client on the fake HTTP stack, defaults in
// memory, the main queue on virtual time, and a vocabulary file in a temporary home folder.

#include "FakeHttp.h"
#include "FakeScheduler.h"
#include "LogCapture.h"
#include "MemoryDefaults.h"
#include "MemorySecretStore.h"
#include "app/AppState.h"
#include "app/Notifications.h"
#include "input/HotkeyOption.h"
#include "input/x11/X11KeyTranslator.h"
#include "platform/NotificationCenter.h"
#include "service/RefineClient.h"
#include "ui/settings/SettingsView.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include <QComboBox>

namespace skrib::testing {

class SettingsPage {
public:
    SettingsPage() {
        char pattern[] = "/tmp/skrib-settings-XXXXXX";
        home = ::mkdtemp(pattern);
        hotkeyObservation = center.addObserver(
            notifications::hotkeyChanged, nullptr, [this](const Notification& n) {
                const auto* option = std::any_cast<HotkeyOption>(&n.object);
                hotkeyPosts.push_back(option != nullptr ? std::string(option->rawValue())
                                                        : std::string("<not an option>"));
            });
        sizeObservation = center.addObserver(notifications::capsuleSizeChanged, nullptr,
                                             [this](const Notification&) { ++sizePosts; });
    }
    ~SettingsPage() {
        view.reset();
        std::filesystem::remove_all(home);
    }

    SettingsView& build() {
        client = std::make_unique<RefineClient>(RefineClient::Environment{
            http, secrets, defaults, "http://127.0.0.1:8787", home.string(), "Desk", "6.1.0"});
        sentBeforeView = http.sent().size();
        auto sw = [this](bool& value, const char* name) {
            return SettingsView::Switch{[&value] { return value; },
                                        [this, &value, name](bool on) {
                                            value = on;
                                            switchWrites.push_back(std::string(name) +
                                                                   (on ? "=on" : "=off"));
                                        }};
        };
        view = std::make_unique<SettingsView>(SettingsView::Environment{
            defaults, scheduler, center, appState, [this] { return client.get(); },
            sw(holdMode, "hold"), sw(autoEnter, "autoEnter"), sw(soundFeedback, "sound"),
            [](std::uint32_t scanCode) { return X11KeyTranslator::virtualKeyCode(scanCode); }});
        view->resize(640, 900);
        view->show();
        return *view;
    }

    /// JSON bodies of the POST requests to `path` sent since the view was built.
    std::vector<nlohmann::json> posts(const std::string& path) const {
        std::vector<nlohmann::json> out;
        const auto sent = http.sent();
        for (std::size_t i = sentBeforeView; i < sent.size(); ++i) {
            if (sent[i].request.method == "POST" &&
                sent[i].request.url == "http://127.0.0.1:8787" + path) {
                out.push_back(nlohmann::json::parse(sent[i].request.body));
            }
        }
        return out;
    }
    std::size_t requestsSinceBuild() const { return http.sent().size() - sentBeforeView; }

    void writeVocabFile(const std::string& content) {
        std::ofstream(home / ".vantu-skrib-backend.json") << content;
    }
    std::string vocabFile() const {
        std::ifstream in(home / ".vantu-skrib-backend.json");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    /// Chooses the item carrying `data` as the user would.
    static void choose(QComboBox* popup, const QString& data) {
        const int index = popup->findData(data);
        ASSERT_GE(index, 0) << data.toStdString();
        popup->setCurrentIndex(index);
        emit popup->activated(index);
    }

    LogCapture log;
    std::filesystem::path home;
    FakeHttpClient http;
    MemorySecretStore secrets;
    MemoryDefaults defaults;
    FakeScheduler scheduler;
    NotificationCenter center;
    AppState appState;
    std::unique_ptr<RefineClient> client;
    std::unique_ptr<SettingsView> view;

    bool holdMode = false;
    bool autoEnter = true;
    bool soundFeedback = false;
    std::vector<std::string> switchWrites;
    std::vector<std::string> hotkeyPosts; // raw values of the posted options
    int sizePosts = 0;

private:
    std::size_t sentBeforeView = 0;
    Subscription hotkeyObservation;
    Subscription sizeObservation;
};

} // namespace skrib::testing
