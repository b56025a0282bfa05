// The time an operation could take if nothing but the emulator's latency
// model and the plug-in's intended concurrency stood in the way: every request
// costs exactly its latency, every wait ends with the poll that lands on the
// moment the Operation is done, and no time goes to the plug-in itself.
// docs/performance.md states each formula.
#pragma once

#include <string>
#include <vector>

namespace opsbench {

// Seconds, as the emulator runs them at time scale 1.
struct LatencyModel {
    double request = 0;  // every Compute API, token and metadata answer
    double pending = 0;  // an Operation's PENDING phase
    double running = 0;  // the RUNNING phase of disk, attach/detach and snapshot-delete Operations
    double snapCreate = 0;  // a snapshot's CREATING phase
    double snapUpload = 0;  // a snapshot's UPLOADING phase
};

enum class Op { Prepare, Snap, PostSnap, Map, Unmap, Revert, Delete };

const char* opName(Op op);
bool opFromName(const std::string& name, Op* op);
const std::vector<Op>& allOps();

// Requests every call makes before its own work: the access token and one
// read of the instance-metadata tree.
constexpr int kConnectRequests = 2;

struct IdealInput {
    Op op = Op::Snap;
    int disks = 0;
    int threadCount = 8;  // the plug-in's worker-pool bound
    // Post-snap only: seconds from the start of the call until each snapshot
    // is READY (negative or zero when it already is), in record order.
    std::vector<double> readyAfter;
};

// Seconds; 0 when the model has no latency at all.
double idealSeconds(const LatencyModel& m, const IdealInput& in);

}  // namespace opsbench
