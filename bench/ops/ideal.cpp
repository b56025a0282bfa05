#include "ops/ideal.h"

#include <algorithm>
#include <cmath>

namespace opsbench {

namespace {

struct Named {
    Op op;
    const char* name;
};

const Named kNames[] = {{Op::Prepare, "prepare"}, {Op::Snap, "snap"},   {Op::PostSnap, "post"},
                        {Op::Map, "map"},         {Op::Unmap, "unmap"}, {Op::Revert, "revert"},
                        {Op::Delete, "delete"}};

// Waiting for an Operation of this duration that the previous request started:
// at least one poll, and the poll that sees DONE ends no earlier than DONE.
double wait(const LatencyModel& m, double duration) {
    return std::max(duration, m.request);
}

double operation(const LatencyModel& m) {
    return m.pending + m.running;
}

double snapshotToReady(const LatencyModel& m) {
    return m.pending + m.snapCreate + m.snapUpload;
}

// Requests issued one after another, then the Operations they started
// followed in the same order: the last one ends no earlier than both the
// batch of polls and the last Operation.
double startThenFollow(const LatencyModel& m, int n, int startRequestsPerDisk) {
    return startRequestsPerDisk * n * m.request + std::max(n * m.request, operation(m));
}

}  // namespace

const char* opName(Op op) {
    for (const auto& n : kNames) {
        if (n.op == op) {
            return n.name;
        }
    }
    return "?";
}

bool opFromName(const std::string& name, Op* op) {
    for (const auto& n : kNames) {
        if (name == n.name) {
            *op = n.op;
            return true;
        }
    }
    return false;
}

const std::vector<Op>& allOps() {
    static const std::vector<Op> ops = {Op::Prepare, Op::Snap,   Op::PostSnap, Op::Map,
                                        Op::Unmap,   Op::Revert, Op::Delete};
    return ops;
}

double idealSeconds(const LatencyModel& m, const IdealInput& in) {
    const int n = in.disks;
    const double r = m.request;
    const double connect = kConnectRequests * r;
    const int workers = std::max(1, std::min(in.threadCount, n));
    const double rounds = std::ceil(static_cast<double>(n) / workers);
    switch (in.op) {
        case Op::Prepare:
            // One instance read for all disks, then per disk a disk read; the
            // SCSI inquiries go to the local devices and carry no request latency.
            return connect + (n + 1) * r;
        case Op::Snap:
            // On the pool: per disk the createSnapshot request, then the
            // Operation until RUNNING and at least one read of the snapshot.
            // The snapshot's CREATING phase is counted from the processing of
            // the request (it ends pending + create later), so it overlaps
            // the Operation's polls instead of following them.
            return connect +
                   rounds * (r + std::max(wait(m, m.pending) + r, m.pending + m.snapCreate));
        case Op::PostSnap: {
            // The source disks one by one, then per snapshot in order: its
            // Operation until DONE (no earlier than READY), the snapshot, its id.
            double t = connect + n * r;
            for (int i = 0; i < n; ++i) {
                double ready = i < static_cast<int>(in.readyAfter.size()) ? in.readyAfter[i] : 0;
                t = std::max(t + r, ready) + 2 * r;
            }
            return t;
        }
        case Op::Map:
            // Snapshot, source disk and clone reads and one instance read;
            // label read and insert per clone, the inserts followed as a batch,
            // each clone READY; then per clone one after another: clone read,
            // attach, its Operation.
            return connect + (3 * n + 1) * r + startThenFollow(m, n, 2) + n * r +
                   n * (2 * r + wait(m, operation(m)));
        case Op::Unmap:
            // Snapshot and source disk reads and one instance read; then per
            // clone one after another a detach and its Operation, then a delete
            // and its Operation.
            return connect + (2 * n + 1) * r + 2 * n * (r + wait(m, operation(m)));
        case Op::Delete:
            // Per snapshot one after another: the read, the delete, its Operation.
            return connect + n * (2 * r + wait(m, operation(m)));
        case Op::Revert:
            // Snapshot and disk reads and one instance read; on the pool per disk:
            // detach, safe-point snapshot to READY, delete, create from the
            // snapshot to READY plus its id, attach; then the safe-point
            // snapshots read and deleted one after another, followed as a batch.
            return connect + (2 * n + 1) * r +
                   rounds * (8 * r + 4 * wait(m, operation(m)) + wait(m, snapshotToReady(m))) +
                   startThenFollow(m, n, 2);
    }
    return 0;
}

}  // namespace opsbench
