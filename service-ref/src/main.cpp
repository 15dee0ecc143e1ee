// skrib-service: the transcription service. See usageText() for the command line.
#include "IsoTime.h"
#include "PocketSphinxRecognizer.h"
#include "ReleaseManifest.h"
#include "ServiceConfig.h"
#include "ServiceServer.h"
#include "Storage.h"
#include "WorkPool.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <thread>

using namespace skrib::service;

namespace {

std::mutex stderrMutex;

void say(const std::string& line) {
    std::lock_guard lock(stderrMutex);
    std::cerr << line << '\n' << std::flush;
}

// One recogniser per worker, loaded one after the other: PocketSphinx's set-up shares global
// state, and loading several at once on separate threads corrupted the heap now and then (seen
// as an abort at start-up, about one start in 150).
std::vector<std::unique_ptr<SpeechRecognizer>> loadRecognizers(const ServiceConfig& config,
                                                               std::string& error) {
    std::vector<std::unique_ptr<PocketSphinxRecognizer>> loaded(config.workers);
    std::vector<std::string> errors(config.workers);
    for (std::size_t i = 0; i < config.workers; ++i) {
        loaded[i] = PocketSphinxRecognizer::load(config.modelDir, errors[i]);
    }
    std::vector<std::unique_ptr<SpeechRecognizer>> recognizers;
    for (std::size_t i = 0; i < config.workers; ++i) {
        if (!loaded[i]) {
            error = errors[i];
            return {};
        }
        recognizers.push_back(std::move(loaded[i]));
    }
    return recognizers;
}

} // namespace

int main(int argc, char** argv) {
    const CommandLine commandLine =
        parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (commandLine.help) {
        std::cout << usageText();
        return 0;
    }
    if (!commandLine.config) {
        std::cerr << "skrib-service: " << commandLine.error << "\n" << usageText();
        return 2;
    }
    const ServiceConfig& config = *commandLine.config;

    // Termination signals are taken by one thread through sigwait; every other thread, including
    // those started below, inherits the blocked mask. A vanished client must not kill the
    // process through SIGPIPE.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto storage = Storage::open(config.dataDir, error);
    if (!storage) {
        say("skrib-service: " + error);
        return 1;
    }
    std::optional<ReleaseManifest> manifest;
    if (config.releaseManifest) {
        manifest = loadReleaseManifest(*config.releaseManifest, error);
        if (!manifest) {
            say("skrib-service: " + error);
            return 1;
        }
    }
    auto recognizers = loadRecognizers(config, error);
    if (recognizers.empty()) {
        say("skrib-service: " + error);
        return 1;
    }
    WorkPool pool(std::move(recognizers), config.queueCapacity);
    ServiceServer server(config, *storage, pool, manifest, systemNowMillis, say);
    if (!server.bind(error)) {
        say("skrib-service: " + error);
        return 1;
    }
    const bool tls = config.tlsCert.has_value();
    const std::string host =
        config.host.find(':') != std::string::npos ? "[" + config.host + "]" : config.host;
    say("skrib-service: listening on " + std::string(tls ? "https" : "http") + "://" + host + ":" +
        std::to_string(server.port()));

    std::atomic<bool> signalled{false};
    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        signalled = true;
        say(std::string("skrib-service: ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
            ", finishing requests in progress");
        server.stop();
    });
    const bool served = server.run();
    if (!signalled) {
        // Serving ended without a signal (the socket failed): wake the waiter.
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
    }
    signalWaiter.join();
    pool.shutdown();
    say(served ? "skrib-service: stopped" : "skrib-service: serving failed");
    return served ? 0 : 1;
}
