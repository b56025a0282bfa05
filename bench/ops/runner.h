// Runs the operations for one disk count in the order a host does (prepare,
// snap, post-snap, map, unmap, revert, delete) on a fresh fleet. Operations
// that were not asked for but that a later one needs run with the emulator
// instant and are not reported.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ops/fleet.h"
#include "ops/ideal.h"
#include "ops/measure.h"

namespace opsbench {

struct Row {
    Op op = Op::Snap;
    int disks = 0;
    bool withLatency = false;
    Cost cost;
    double idealSeconds = 0;
    size_t requests = 0;  // journal entries: Compute API, token and metadata requests
    int result = 0;
    std::string error;
};

struct RunConfig {
    FleetConfig fleet;        // disks is set per run
    std::set<Op> measured;    // the operations to report
    bool withLatency = true;  // the latency model while measuring, or everything instant
};

// The operations that run for this selection, in host order.
std::vector<Op> pipelineFor(const std::set<Op>& measured);

// Calls onRow after each measured operation; stops at the first failed call.
// Returns false when the fleet could not be set up (the error in *error).
bool runDisks(const RunConfig& config, int disks, const std::function<void(const Row&)>& onRow,
              std::string* error);

}  // namespace opsbench
