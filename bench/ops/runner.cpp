#include "ops/runner.h"

#include <chrono>

namespace opsbench {

namespace {

constexpr int kPluginDefaultThreadCount = 8;

double epochSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool any(const std::set<Op>& set, std::initializer_list<Op> ops) {
    for (Op op : ops) {
        if (set.count(op)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<Op> pipelineFor(const std::set<Op>& measured) {
    // Every operation after prepare works on the records prepare filled; all
    // but prepare need the snapshots; unmap needs the clones of map, and map's
    // clones are always removed again.
    std::vector<Op> out = {Op::Prepare};
    if (any(measured, {Op::Snap, Op::PostSnap, Op::Map, Op::Unmap, Op::Revert, Op::Delete})) {
        out.push_back(Op::Snap);
        out.push_back(Op::PostSnap);
    }
    if (any(measured, {Op::Map, Op::Unmap})) {
        out.push_back(Op::Map);
        out.push_back(Op::Unmap);
    }
    if (measured.count(Op::Revert)) {
        out.push_back(Op::Revert);
    }
    if (measured.count(Op::Delete)) {
        out.push_back(Op::Delete);
    }
    return out;
}

bool runDisks(const RunConfig& config, int disks, const std::function<void(const Row&)>& onRow,
              std::string* error) {
    FleetConfig fc = config.fleet;
    fc.disks = disks;
    Fleet fleet(fc);
    if (!fleet.ok()) {
        *error = fleet.error();
        return false;
    }
    const int threads = fc.threadCount > 0 ? fc.threadCount : kPluginDefaultThreadCount;
    std::vector<gce::JournalEntry> snapJournal;
    bool snapTimed = false;
    for (Op op : pipelineFor(config.measured)) {
        const bool measured = config.measured.count(op) > 0;
        const bool timed = measured && config.withLatency;
        fleet.clearJournal();
        fleet.useLatency(timed);
        CostMeter meter;
        meter.start();
        const double startEpoch = epochSeconds();
        Row row;
        row.op = op;
        row.disks = disks;
        row.withLatency = config.withLatency;
        row.result = fleet.call(op);
        row.cost = meter.stop();
        std::vector<gce::JournalEntry> journal = fleet.journal();
        row.requests = journal.size();
        if (row.result != 0) {
            row.error = fleet.firstError();
        }
        IdealInput in;
        in.op = op;
        in.disks = disks;
        in.threadCount = threads;
        if (op == Op::PostSnap && snapTimed) {
            in.readyAfter = fleet.snapshotsReadyAfter(snapJournal, startEpoch);
        }
        if (op == Op::Snap) {
            snapJournal = std::move(journal);
            snapTimed = timed;
        }
        row.idealSeconds = config.withLatency ? idealSeconds(fc.model, in) : 0;
        if (measured || row.result != 0) {
            onRow(row);
        }
        if (row.result != 0) {
            break;
        }
    }
    fleet.useLatency(false);
    return true;
}

}  // namespace opsbench
