// Interim clones and snapshots. A clone that goes into another project with a
// destination key cannot be made from the source snapshot directly, so the map
// copies the snapshot through a disk and snapshot of its own in the
// snapshot's project; the unmap removes whatever of them is left.
#include <list>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "rest/rest_api_gcp.h"
#include "rest/rest_constants.h"
#include "runtime/endpoints.h"

namespace DuVavaZid {

namespace {

constexpr size_t kMaxInterimNameLength = 63;
const std::string kInterimSuffix = "-interim";

// The stored id when there is one (it survives a rename), else the name.
const std::string& idOrName(const std::string& id, const std::string& name) {
    return id.empty() ? name : id;
}

std::string interimDiskPath(const GcpUtils& u, const GcpObject* o) {
    const InterimCloneInfo& info = o->interimCloneInfo;
    return o->ProjectId + "/zones/" + u.ctx->instanceZone + "/disks/" +
           idOrName(info.interimCloneId, info.interimCloneName);
}

std::string interimSnapPath(const GcpObject* o) {
    const InterimCloneInfo& info = o->interimCloneInfo;
    return o->ProjectId + "/global/snapshots/" + idOrName(info.interimSnapId, info.interimSnapName);
}

bool needsInterimObjects(const GcpUtils& u, const GcpObject* o) {
    const std::string& target =
        u.ctx->restoreOptionsFound ? u.ctx->restoreInfo.destProjectId : u.ctx->projectId;
    return !strCompare(o->ProjectId, target, true) && !o->cloneOptions.destEncryptionKey.empty();
}

// The requests of one phase, followed together once all are started.
struct InterimRequests {
    std::list<StartedStep> started;

    std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> pairs() {
        std::vector<std::pair<GcpObject*, GcpReqOpInfo*>> out;
        for (auto& s : started) {
            out.emplace_back(s.object, &s.rec);
        }
        return out;
    }
};

void buildJSONForCreateInterimCloneReq(GcpObject* o, GcpCtx* c) {
    jsonxx::Object body;
    body.set("name", o->interimCloneInfo.interimCloneName);
    body.set("sourceSnapshot", "projects/" + o->ProjectId + "/global/snapshots/" + o->SnapUuid);
    c->session().restRequest = body.json();
}

void buildJSONForCreateInterimSnapReq(GcpObject* o, GcpCtx* c) {
    jsonxx::Object body;
    body.set("name", o->interimCloneInfo.interimSnapName);
    c->session().restRequest = body.json();
}

GcpStep interimStep(GcpUtils& u, GcpObject* o, bool clone, bool create) {
    const InterimCloneInfo& info = o->interimCloneInfo;
    const std::string& name = clone ? info.interimCloneName : info.interimSnapName;
    const std::string kind = clone ? "interim clone [" : "interim snapshot [";
    GcpStep step;
    step.record = u.opRecord(clone ? (create ? "clone-create" : "clone-delete")
                                   : (create ? "snapshot-create" : "snapshot-delete"),
                             clone ? GCP_ENTITY_CLONE : GCP_ENTITY_SNAPSHOT, name);
    StepRequest& r = step.request;
    if (!create) {
        r.post = false;
        r.path = clone ? interimDiskPath(u, o) : interimSnapPath(o);
        r.failOn = clone ? nullptr : o;
        r.begin = "GCP Deleting " + kind + name + "]...";
        r.failure = "Failed to delete " + kind + name + "].";
        r.started = "GCP >> Initiated delete request for " + kind + name + "] successfully";
        r.startedTrace = "GCP Deleting " + kind + name + "]... - done";
        return step;
    }
    if (clone) {
        r.begin = "GCP Creating interim clone [" + name + "] of snapshot [" + o->SnapTag + "]...";
        r.body = [&u, o] {
            buildJSONForCreateInterimCloneReq(o, u.ctx);
            return 0;
        };
        r.path = o->ProjectId + "/zones/" + u.ctx->instanceZone + "/disks/";
        r.failure = "Failed to create interim clone of snapshot [" + o->SnapTag + "].";
        r.started = "GCP >> Initiated request for interim clone creation for snapshot [" +
                    o->SnapTag + "] successfully";
        r.startedTrace =
            "GCP Creating interim clone [" + name + "] of snapshot [" + o->SnapTag + "]... - done";
        return step;
    }
    // Wait for the interim snapshot itself, not the disk it is taken of.
    step.record.resourceLink = "https://" + bxrt::computeApiHost() + GCP_REST_API_BASE_PATH_SUFFIX +
                               o->ProjectId + "/global/snapshots/" + name;
    r.begin = "GCP Creating interim snapshot [" + name + "]...";
    r.body = [&u, o] {
        buildJSONForCreateInterimSnapReq(o, u.ctx);
        return 0;
    };
    r.path = o->ProjectId + "/zones/" + u.ctx->instanceZone + "/disks/" + info.interimCloneName +
             "/createSnapshot/";
    r.failure = "Failed to create interim snapshot [" + name + "].";
    r.started = "GCP >> Initiated create request for interim snapshot [" + name + "] for disk [" +
                info.interimCloneName + "] successfully";
    r.startedTrace = "GCP Creating interim snapshot [" + name + "]... - done";
    return step;
}

int rest_getInterimCloneDetails(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    const std::string& name = o->interimCloneInfo.interimCloneName;
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    if (!u.restGet(interimDiskPath(u, o), client)) {
        if (u.answeredNotFound(o, client)) {
            c->log(0, "GCP Clone [%s] does not exist.", name.c_str());
            return GCP_ERR_NOT_FOUND;
        }
        return u.failRequest(o, GCP_ERR_GCP,
                             "Failed to get details for interim clone [" + name + "].");
    }
    return u.processGetInterimCloneDetails(o, c);
}

int rest_getInterimSnapDetails(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    const std::string& name = o->interimCloneInfo.interimSnapName;
    c->log(2, "GCP Getting details for interim snapshot [%s]...", name.c_str());
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    if (!u.restGet(interimSnapPath(o), client)) {
        if (u.answeredNotFound(o, client)) {
            c->log(0, "GCP Snapshot [%s] does not exist.", name.c_str());
            return GCP_ERR_NOT_FOUND;
        }
        return u.failRequest(o, GCP_ERR_GCP,
                             "Failed to get details for interim snapshot [" + name + "].");
    }
    // A repeated map finds the snapshot made before: its id is needed to
    // clean it up as much as a new one's.
    jsonxx::Object response;
    if (o->interimCloneInfo.interimSnapId.empty() && response.parse(c->session().restResponse) &&
        response.has<jsonxx::String>("id")) {
        o->interimCloneInfo.interimSnapId = response.get<jsonxx::String>("id");
    }
    c->log(3, "GCP Getting details for interim snapshot [%s]... - done", name.c_str());
    return 0;
}

// Starts the creation of an interim disk (clone) or snapshot unless it exists
// already, so that a repeated map picks up where a failed one stopped.
int startInterimCreate(GcpUtils& u, GcpObject* o, bool clone, InterimRequests& batch) {
    int rc =
        clone ? rest_getInterimCloneDetails(u, o, u.ctx) : rest_getInterimSnapDetails(u, o, u.ctx);
    if (rc != GCP_ERR_NOT_FOUND) {
        return rc;
    }
    batch.started.emplace_back(o, interimStep(u, o, clone, true));
    return u.startStep(batch.started.back().step, batch.started.back().rec);
}

int followInterimCreates(GcpUtils& u, InterimRequests& batch) {
    if (batch.started.empty()) {
        return 0;
    }
    auto pairs = batch.pairs();
    return u.monitorGcpRequests(pairs, u.ctx);
}

// Deletions never fail the call: an interim object that cannot be removed is
// counted, logged and left for a later unmap. Objects already gone are skipped.
void startInterimDelete(GcpUtils& u, GcpObject* o, bool clone, int& total, InterimRequests& batch) {
    int rc =
        clone ? rest_getInterimCloneDetails(u, o, u.ctx) : rest_getInterimSnapDetails(u, o, u.ctx);
    if (rc != 0) {
        if (rc != GCP_ERR_NOT_FOUND) {
            u.ctx->resetError();
        }
        return;
    }
    ++total;
    batch.started.emplace_back(o, interimStep(u, o, clone, false));
    if (u.startStep(batch.started.back().step, batch.started.back().rec) != 0) {
        u.ctx->resetError();
        batch.started.pop_back();
    }
}

void finishInterimDeletes(GcpUtils& u, InterimRequests& batch, int total, const char* statsFormat) {
    int deleted = 0;
    for (auto& s : batch.started) {
        if (u.followStep(s.object, s.step, s.rec) == 0) {
            ++deleted;
        } else {
            u.ctx->resetError();
        }
    }
    if (total >= 1) {
        u.ctx->log(0, statsFormat, total, deleted, total - deleted);
    }
}

}  // namespace

int GcpUtils::initInterimCloneInfo(GcpObject* o) {
    InterimCloneInfo& info = o->interimCloneInfo;
    if (o->CloneName.empty()) {
        return ctx->fail(GCP_ERR_INTERNAL,
                         "Failed to initialize interim clone details. Clone name is empty.",
                         logfmt::kStep);
    }
    size_t wanted = o->CloneName.size() + kInterimSuffix.size();
    size_t excess = wanted > kMaxInterimNameLength ? wanted - kMaxInterimNameLength : 0;
    if (excess >= o->CloneName.size()) {
        return ctx->fail(GCP_ERR_INTERNAL,
                         "Failed to initialize interim clone details. Length of the clone name "
                         "exceeded max length [" +
                             std::to_string(kMaxInterimNameLength) + "] for device [" +
                             o->GCPDeviceName + "].",
                         logfmt::kStep);
    }
    info.interimCloneName = o->CloneName.substr(0, o->CloneName.size() - excess) + kInterimSuffix;
    // Cut like the clone name: GCP refuses names over 63 characters.
    const std::string tail = "-" + std::to_string(o->snapInfo->getCloneNumber()) + kInterimSuffix;
    const size_t room =
        kMaxInterimNameLength > tail.size() ? kMaxInterimNameLength - tail.size() : 0;
    info.interimSnapName = o->SnapUuid.substr(0, room) + tail;
    return 0;
}

int GcpUtils::createInterimClones() {
    ctx->log(2, "GCP Creating interim clones...");
    InterimRequests batch;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (!needsInterimObjects(*this, o)) {
            continue;
        }
        int rc = initInterimCloneInfo(o);
        if (rc == 0) {
            rc = startInterimCreate(*this, o, true, batch);
        }
        if (rc != 0) {
            return rc;
        }
    }
    int rc = followInterimCreates(*this, batch);
    for (auto it = batch.started.begin(); rc == 0 && it != batch.started.end(); ++it) {
        it->object->interimCloneInfo.interimCloneId = it->rec.id;
        rc = setInterimCloneInfoMetadata(it->object, ctx);
    }
    if (rc != 0) {
        return rc;
    }
    ctx->log(3, "GCP Creating interim clones... - done");
    return 0;
}

int GcpUtils::createInterimSnaps() {
    ctx->log(2, "GCP Creating interim snaps...");
    InterimRequests batch;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->interimCloneInfo.interimSnapName.empty()) {
            continue;
        }
        const size_t started = batch.started.size();
        int rc = startInterimCreate(*this, o, false, batch);
        if (rc == 0 && batch.started.size() == started) {
            // Found from an earlier map: its id, read with it, is kept as a new one's.
            rc = setInterimCloneInfoMetadata(o, ctx);
        }
        if (rc != 0) {
            return rc;
        }
    }
    if (int rc = followInterimCreates(*this, batch); rc != 0) {
        return rc;
    }
    for (auto& s : batch.started) {
        GcpObject* o = s.object;
        int rc = rest_getSnapResourceIdByName(o->interimCloneInfo.interimSnapName, o, ctx,
                                              o->interimCloneInfo.interimSnapId);
        if (rc == 0) {
            rc = setInterimCloneInfoMetadata(o, ctx);
        }
        if (rc != 0) {
            return rc;
        }
    }
    ctx->log(3, "GCP Creating interim snaps... - done");
    return 0;
}

int GcpUtils::deleteInterimClones() {
    ctx->log(2, "GCP Deleting interim clones...");
    const bool inMap = ctx->OpCode == GCP_OP_MAP;
    int total = 0;
    InterimRequests batch;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        InterimCloneInfo& info = o->interimCloneInfo;
        if (inMap) {
            if (info.interimCloneId.empty() || info.interimSnapId.empty()) {
                continue;
            }
        } else {
            // Only the ids are stored; the names are derived again, which also
            // lets an unmap find objects whose ids never got stored.
            getInterimCloneInfoMetadata(o, ctx);
            if (initInterimCloneInfo(o) != 0) {
                ctx->resetError();
                continue;
            }
        }
        startInterimDelete(*this, o, true, total, batch);
    }
    finishInterimDeletes(
        *this, batch, total,
        "GCP Delete stats for interim clones -- total [%d] deleted [%d] failed [%d]");
    ctx->log(3, "GCP Deleting interim clones... - done");
    return 0;
}

int GcpUtils::deleteInterimSnaps() {
    ctx->log(2, "GCP Deleting interim snaps...");
    int total = 0;
    InterimRequests batch;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        const InterimCloneInfo& info = o->interimCloneInfo;
        if (!info.interimSnapId.empty() || !info.interimSnapName.empty()) {
            startInterimDelete(*this, o, false, total, batch);
        }
    }
    finishInterimDeletes(
        *this, batch, total,
        "GCP Delete stats for interim snapshots -- total [%d] deleted [%d] failed [%d]");
    ctx->log(3, "GCP Deleting interim snaps... - done");
    return 0;
}

int GcpUtils::processGetInterimCloneDetails(GcpObject* o, GcpCtx* c) {
    const std::string& name = o->interimCloneInfo.interimCloneName;
    jsonxx::Object response;
    if (!response.parse(c->session().restResponse)) {
        return failMismatch(GCP_ERR_RESPONSE, "Failed to get details for GCP interim clone [" +
                                                  name + "]. Invalid JSON response.");
    }
    Fields values;
    if (int rc =
            readFields(response, "id,selfLink,name", values,
                       "Failed to get details for GCP interim clone [" + name + "] with error - ");
        rc != 0) {
        return rc;
    }
    if (values["name"] == name) {
        o->interimCloneInfo.interimCloneId = values["id"];
        return 0;
    }
    return failFor(o, GCP_ERR_INTERNAL,
                   "Failed to get details of GCP interim clone [" + name +
                       "] - wrong clone name [" + values["name"] + "] returned - expected value [" +
                       name + "]");
}

}  // namespace DuVavaZid
