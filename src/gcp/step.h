// A change in GCP as data: the request that starts it, the Operation GCP
// answers with, and, for a change that makes something, the resource followed
// until it is ready. The texts a step logs travel with it, so each operation
// only says what it asks for.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "context/gcp_ctx.h"

namespace DuVavaZid {

struct StepRequest {
    bool post = true;
    // Under the Compute base path; or, when link is set, a resource's own
    // link, which the client is pointed at for this one request.
    std::string path;
    std::string link;
    // Builds the session's body; a non-zero result stops the step unsent.
    std::function<int()> body;
    // Sent with the source project's account (this instance, its disks)
    // rather than with the account in use, which a restore into another
    // project may have switched.
    bool sourceAccount = false;
    // The record that takes a refusal's text as well as the context.
    GcpObject* failOn = nullptr;
    std::string failure;       // the sentence of a refused request
    std::string begin;         // level 2, before the request
    std::string started;       // level 0, once GCP took it
    std::string startedTrace;  // level 3, after that; may be empty
};

struct GcpStep {
    StepRequest request;
    GcpReqOpInfo record;
    // The answer's links are read first and the Operation is then polled by
    // its own link; otherwise the answer itself is the first poll.
    bool readLinks = true;
    // After the Operation, the resource (its target, or record.resourceLink)
    // is followed until READY.
    bool waitResource = false;
    // Once all of that succeeded: reads what the step made.
    std::function<int(GcpReqOpInfo&)> after;
    // Runs after begin: a step that finds its work already done (or not
    // wanted) leaves needed false and succeeds without a request.
    std::function<int(bool& needed)> precheck;
    std::string begin;      // level 2, before anything; may be empty
    std::string done;       // level 0, at the end; may be empty
    std::string doneTrace;  // level 3, after done; may be empty
};

// A step whose request has gone out, kept until it is followed: the steps of
// a batch are all started before any is followed, so GCP works on them at once.
struct StartedStep {
    StartedStep(GcpObject* object, GcpStep step) : object(object), step(std::move(step)) {}
    GcpObject* object;
    GcpStep step;
    GcpReqOpInfo rec;
};

}  // namespace DuVavaZid
