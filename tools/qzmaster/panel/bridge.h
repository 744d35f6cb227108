// The only crossing between the panel's thread and the ban service's loop: jobs the panel hands
// to the service (a fleet ban goes through the service's own routine there), run at the
// service's next poll, and a copy of the service's figures for the servers page and /metrics,
// refreshed by the service's loop. Neither side ever waits for the other under the lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qzmaster/fleet_service.h"

namespace qzpanel {

struct ServiceSnapshot {
    qzm::FleetCounters counters;
    std::string storeStatus;
    bool ready = false;
    size_t liveBans = 0;
    size_t bans = 0;
    std::map<std::string, std::string> addresses;  // server id: its last packet's address
    size_t jobsWaiting = 0;
    long long takenMs = 0;  // steady clock when taken
};

class ServiceBridge {
  public:
    using Job = std::function<void(qzm::FleetService&)>;

    // Draws the epoch of the panel's report ids (random, never 0) for this start.
    ServiceBridge();
    // The report id of the panel's next ban (bans and imports alike): this start's epoch and a
    // counter, so no two bans of the panel share one across restarts, whatever the clock does.
    void nextReportId(uint64_t* epoch, uint64_t* id);

    // Panel thread: JOB runs on the service's thread at its next poll.
    void post(Job job);
    // Service thread: runs the jobs waiting (at most a few per call) and, at most every 250 ms,
    // refreshes the snapshot.
    void serviceTick(qzm::FleetService& service);
    ServiceSnapshot snapshot() const;

  private:
    mutable std::mutex mutex_;
    std::vector<Job> jobs_;
    ServiceSnapshot snapshot_;
    long long lastSnapshotMs_ = 0;
    uint64_t reportEpoch_ = 0;
    std::atomic<uint64_t> reportCounter_{0};
};

// Posts a fleet ban to the service and waits (panel thread) up to TIMEOUT for its id; 0 when
// it was not stored. The report id (epoch and counter) is given here, whatever REC held.
int64_t banThroughService(ServiceBridge& bridge, qzm::BanRecord rec,
                          std::chrono::milliseconds timeout);

}  // namespace qzpanel
