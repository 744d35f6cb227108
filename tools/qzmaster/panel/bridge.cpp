// The panel's crossing to the service's thread.
#include "qzmaster/panel/bridge.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <future>
#include <memory>

namespace qzpanel {

namespace {

long long steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr size_t kJobsPerTick = 16;
constexpr size_t kJobsMax = 256;

}  // namespace

ServiceBridge::ServiceBridge() {
    // The kernel's random source (as /dev/urandom); it only waits before the pool is seeded.
    while (reportEpoch_ == 0) {
        ssize_t got = getrandom(&reportEpoch_, sizeof reportEpoch_, 0);
        if (got < 0 && errno != EINTR) abort();  // no random source: nothing sound to do
        if (got != static_cast<ssize_t>(sizeof reportEpoch_)) reportEpoch_ = 0;
    }
}

void ServiceBridge::nextReportId(uint64_t* epoch, uint64_t* id) {
    *epoch = reportEpoch_;
    *id = ++reportCounter_;
}

void ServiceBridge::post(Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() < kJobsMax) jobs_.push_back(std::move(job));
}

void ServiceBridge::serviceTick(qzm::FleetService& service) {
    std::vector<Job> run;
    long long now = steadyMs();
    bool refresh = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = std::min(jobs_.size(), kJobsPerTick);
        run.assign(std::make_move_iterator(jobs_.begin()),
                   std::make_move_iterator(jobs_.begin() + static_cast<long>(n)));
        jobs_.erase(jobs_.begin(), jobs_.begin() + static_cast<long>(n));
        refresh = now - lastSnapshotMs_ >= 250;
    }
    for (Job& job : run) job(service);
    if (!refresh) return;
    ServiceSnapshot s;
    s.counters = service.counters();
    s.storeStatus = service.storeStatus();
    s.ready = service.ready();
    s.liveBans = service.state().liveCount();
    s.bans = service.state().bans().size();
    for (auto& [id, server] : service.state().servers()) {
        if (!server.haveAddress) continue;
        char ip[32];
        const unsigned char* a = reinterpret_cast<const unsigned char*>(&server.address.sin_addr);
        snprintf(ip, sizeof ip, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3],
                 static_cast<unsigned>(ntohs(server.address.sin_port)));
        s.addresses[id] = ip;
    }
    s.takenMs = now;
    std::lock_guard<std::mutex> lock(mutex_);
    s.jobsWaiting = jobs_.size();
    snapshot_ = std::move(s);
    lastSnapshotMs_ = now;
}

ServiceSnapshot ServiceBridge::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshot_;
}

int64_t banThroughService(ServiceBridge& bridge, qzm::BanRecord rec,
                          std::chrono::milliseconds timeout) {
    bridge.nextReportId(&rec.reportEpoch, &rec.reportId);
    auto promise = std::make_shared<std::promise<int64_t>>();
    std::future<int64_t> result = promise->get_future();
    bridge.post([rec, promise](qzm::FleetService& service) {
        service.adminBan(rec, [promise](int64_t id) { promise->set_value(id); });
    });
    if (result.wait_for(timeout) != std::future_status::ready) return 0;
    int64_t id = result.get();
    return id > 0 ? id : 0;  // below 0: refused as a reused report id, so not stored
}

}  // namespace qzpanel
