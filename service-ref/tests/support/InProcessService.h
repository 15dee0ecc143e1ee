#pragma once

#include "ServiceServer.h"
#include "Storage.h"
#include "TestSupport.h"
#include "WorkPool.h"

#include <atomic>
#include <httplib.h>
#include <thread>

namespace skrib::service::test {

/// The process's recognition pool: two PocketSphinx workers and two waiting places, loaded on
/// first use and kept until the process ends.
WorkPool& sharedPool();

/// A ServiceServer on 127.0.0.1 with a free port, its own data folder and a clock the test sets.
class InProcessService {
public:
    explicit InProcessService(WorkPool& pool, ServiceConfig config = {},
                              std::optional<ReleaseManifest> manifest = {});
    ~InProcessService();
    InProcessService(const InProcessService&) = delete;
    InProcessService& operator=(const InProcessService&) = delete;

    int port() const { return server_->port(); }
    std::unique_ptr<httplib::Client> client() const;
    Storage& storage() { return *storage_; }

    void setNow(std::int64_t millis) { now_ = millis; }

private:
    TempDir data_;
    std::unique_ptr<Storage> storage_;
    std::atomic<std::int64_t> now_;
    std::unique_ptr<ServiceServer> server_;
    std::thread thread_;
};

} // namespace skrib::service::test
