// Map: a disk (clone) made from each snapshot, attached to this instance and
// found as a local device. Clones that already exist or are attached are
// reused, so a repeated map is harmless.
#include <list>
#include <sstream>

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

constexpr int kCloneFlag = 0x8000;
constexpr size_t kMaxCloneNameLength = 63;
constexpr int kNotFoundStatus = 404;

int rest_getCloneDetails(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    BXSnapRESTAPI_Gcp* client = u.activeClient();
    bool viaLink = !o->CloneSourceLink.empty();
    if (viaLink && client) {
        client->setBasePath(o->CloneSourceLink);
    }
    std::string path = viaLink ? "" : u.cloneLocationPath(o) + "/disks/" + o->CloneName;
    int rc = 0;
    if (!u.restGet(path, client)) {
        // Only GCP's own "not found" says the clone is absent; any other
        // failure leaves its state unknown, and treating it as absent would
        // report an unmap done while the clone stays.
        if (u.answeredNotFound(o, client)) {
            c->log(0, "GCP Clone [%s] does not exist.", o->CloneName.c_str());
            rc = GCP_ERR_NOT_FOUND;
        } else {
            rc = u.failRequest(o, GCP_ERR_GCP,
                               "Failed to get details of GCP clone device [" + o->CloneName + "].");
        }
    } else {
        GcpUtils::Fields values;
        if (u.readFields("id,selfLink,name", values,
                         "Failed to get details for GCP clone device [" + o->CloneName +
                             "] in array [" + c->arrayDetails.ArrayId + "] with error - ") != 0) {
            rc = c->session().ErrCode;
        } else if (values["name"] == o->CloneName) {
            o->CloneId = values["id"];
            o->CloneSourceLink = values["selfLink"];
            o->CloneDevStatus = 2;
        } else {
            rc = u.failFor(o, GCP_ERR_INTERNAL,
                           "Failed to get details of GCP clone device [" + o->CloneName + "].");
        }
    }
    if (viaLink) {
        u.restoreComputeBasePath();
    }
    return rc;
}

GcpStep cloneAttachStep(GcpUtils& u, GcpObject* o) {
    const std::string what = "clone [" + o->CloneName + "] of snapshot [" + o->SnapTag + "]";
    GcpStep step;
    step.record = u.cloneRecord(o, "clone-attach");
    // The clone's link is read again: the attach names it.
    step.precheck = [&u, o](bool&) { return rest_getCloneDetails(u, o, u.ctx); };
    step.readLinks = false;
    step.request.sourceAccount = true;
    step.request.begin = "GCP Attaching " + what + "...";
    step.request.body = [&u, o] {
        u.buildJSONForAttachCloneReq(o, static_cast<long>(u.ctx->JobId));
        return 0;
    };
    step.request.path = u.ownInstancePath(true, "");
    step.request.failure =
        "Failed to attach clone [" + o->CloneName + "] to instance [" + u.ctx->instanceName + "].";
    step.request.started = "GCP >> Initiated attach request for " + what + " successfully";
    step.request.startedTrace = "GCP Attaching " + what + "... - done";
    step.done = "Attached clone [" + o->SnapUuid + "] to instance [" + o->InstanceId + "]";
    return step;
}

int attachClones(GcpUtils& u) {
    u.ctx->log(2, "Attaching clones...");
    for (auto& entry : u.ctx->snapMap) {
        GcpObject* o = entry.second;
        if (o->CloneDevStatus == 1) {
            continue;
        }
        int rc = u.runRetryingRateLimits(
            [&] {
                GcpStep step = cloneAttachStep(u, o);
                return u.runStep(o, step);
            },
            "Attach of clone [" + o->CloneName + "]");
        if (rc != 0) {
            return rc;
        }
        o->CloneDevStatus = 1;
    }
    u.ctx->log(3, "Attaching clones... - done");
    return 0;
}

// Attaches the clones and finds their devices, waiting for late ones; mapped
// is how many were found once the steps before discovery succeeded.
int discoverMappedClones(GcpUtils& u, int& mapped) {
    GcpMapCtx* mapCtx = u.ctx->mapCtx.get();
    int rc = u.getDeviceList(mapCtx, true);
    if (rc == 0) {
        rc = attachClones(u);
    }
    if (rc == 0) {
        rc = u.getDeviceList(mapCtx, false);
    }
    if (rc != 0) {
        return rc;
    }
    std::vector<std::string> fresh;
    u.getDiffDeviceList(fresh);
    const int expected = static_cast<int>(u.ctx->snapMap.size());
    mapped = 0;
    u.checkForMappedDevices(
        mapCtx, static_cast<int>(fresh.size()) == expected ? fresh : mapCtx->devicesAfter, mapped);
    mapped = u.waitForMappedDevices(mapCtx, expected, mapped);
    return 0;
}

int rest_getAttachedCloneDetails(GcpUtils& u, GcpObject* o, GcpCtx* c) {
    std::string path = c->projectId + "/zones/" + c->instanceZone + "/instances/" + c->instanceName;
    if (!u.restGetInstance(path)) {
        c->extractRESTErrorMsgs();
        if (c->session().restClient &&
            c->session().restClient->getHttpErrorCode() == kNotFoundStatus &&
            c->session().restErrStr.str().find("message") != std::string::npos) {
            c->resetError();
            return GCP_ERR_NOT_FOUND;
        }
        c->logRESTDetails();
        std::string restErrors = c->session().restErrStr.str();
        std::string msg = "Failed to get details for GCP clone device [" + o->CloneName +
                          "] by instance [" + c->instanceName + "].";
        if (!restErrors.empty()) {
            msg += " REST error returned by GCP [" + restErrors + "]";
        }
        return u.failFor(o, GCP_ERR_GCP, msg);
    }
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    const std::string head = "Failed to get details for GCP clone device [" + o->CloneName +
                             "] by instance [" + o->InstanceId + "] in array [" +
                             c->arrayDetails.ArrayId + "]";
    if (!response.has<jsonxx::Array>("disks")) {
        return u.failResponse(head + " - Disks entity in response is empty", logfmt::kReport,
                              GCP_ERR_RESPONSE);
    }
    jsonxx::Array disks = response.get<jsonxx::Array>("disks");
    for (size_t i = 0; i < disks.size(); ++i) {
        GcpUtils::Fields values;
        if (int rc = u.readFields(disks.get<jsonxx::Object>(i), "source,deviceName", values,
                                  head + " with error - ");
            rc != 0) {
            return rc;
        }
        if (values["deviceName"] == o->CloneName) {
            const std::string& source = values["source"];
            o->CloneSourceLink = source;
            if (source.find('/') != std::string::npos) {
                extractLastPartOfUrl(source, o->CloneName);
            }
            o->CloneDevStatus = 1;
            break;
        }
    }
    return o->CloneDevStatus == 1 ? 0 : GCP_ERR_NOT_FOUND;
}

int rest_getSnapLabels(GcpUtils& u, GcpObject* o, GcpCtx* c, jsonxx::Object& labels) {
    if (!u.restGet(o->ProjectId + "/global/snapshots/" + o->SnapUuid, u.activeClient())) {
        return u.failRequest(o, GCP_ERR_GCP,
                             "Failed to get details for snapshot [" + o->SnapUuid + "].");
    }
    jsonxx::Object response;
    response.parse(c->session().restResponse);
    if (!response.has<jsonxx::Object>("labels")) {
        c->logRESTDetails();
        c->extractRESTErrorMsgs();
        std::string restErrors = c->session().restErrStr.str();
        return u.failFor(o, GCP_ERR_GCP,
                         "Failed to get details for snapshot [" + o->SnapUuid +
                             "] - REST error returned by GCP [" + restErrors + "]");
    }
    labels = o->DiskLabels;
    jsonxx::Object own = response.get<jsonxx::Object>("labels");
    for (auto it = own.raw().begin(); it != own.raw().end(); ++it) {
        labels.raw()[it.key()] = it.value();
    }
    return 0;
}

void buildJSONForCreateCloneReq(GcpObject* o, GcpCtx* c, jsonxx::Object& labels) {
    const RestoreInfo& dest = c->restoreInfo;
    const std::string& source = o->interimCloneInfo.interimSnapName.empty()
                                    ? o->SnapUuid
                                    : o->interimCloneInfo.interimSnapName;
    jsonxx::Object body;
    if (c->restoreOptionsFound) {
        if (o->RegionalDisk) {
            body.set("region", dest.destRegion);
            jsonxx::Array zones;
            for (const auto& zone : o->cloneOptions.DestinationReplicaZones) {
                zones.append(c->zoneUrlMap[zone]);
            }
            body.set("replicaZones", zones);
            body.set("type",
                     HostStr::Format("projects/%s/regions/%s/diskTypes/%s", o->ProjectId.c_str(),
                                     dest.destRegion.c_str(), o->GCPDeviceType.c_str()));
        } else {
            body.set("type",
                     HostStr::Format("projects/%s/zones/%s/diskTypes/%s", o->ProjectId.c_str(),
                                     dest.destZone.c_str(), o->GCPDeviceType.c_str()));
        }
        if (!o->cloneOptions.destEncryptionKey.empty()) {
            jsonxx::Object key;
            key.set("kmsKeyName", o->cloneOptions.destEncryptionKey);
            body.set("diskEncryptionKey", key);
        }
    } else if (c->hpxMode) {
        body.set("type", HostStr::Format("projects/%s/zones/%s/diskTypes/%s", o->ProjectId.c_str(),
                                         o->GCPDeviceZone.c_str(), "pd-ssd"));
    }
    body.set("sourceSnapshot", HostStr::Format("projects/%s/global/snapshots/%s",
                                               o->ProjectId.c_str(), source.c_str()));
    body.set("name", o->CloneName);
    body.set("labels", labels);
    c->session().restRequest = body.json();
}

GcpStep cloneCreateStep(GcpUtils& u, GcpObject* o) {
    const std::string& source = o->interimCloneInfo.interimSnapName.empty()
                                    ? o->SnapUuid
                                    : o->interimCloneInfo.interimSnapName;
    const std::string what = "clone [" + o->CloneName + "] of snapshot [" + source + "]";
    GcpStep step;
    step.record = u.cloneRecord(o, "clone-create");
    step.request.begin = "GCP Creating " + what + "...";
    step.request.body = [&u, o] {
        jsonxx::Object labels;
        rest_getSnapLabels(u, o, u.ctx, labels);  // a clone without labels is still a usable clone
        u.rest_resetCtx();
        buildJSONForCreateCloneReq(o, u.ctx, labels);
        return 0;
    };
    step.request.path = u.cloneLocationPath(o) + "/disks/";
    step.request.failure = "Failed to create clone of snapshot [" + source + "].";
    step.request.started =
        "GCP >> Initiated request for clone creation for snapshot [" + source + "] successfully";
    step.request.startedTrace = "GCP Creating " + what + "... - done";
    step.done = "Operation for creating clone [" + o->CloneName + "] of snapshot [" + o->SnapTag +
                "] succeeded";
    return step;
}

int createClones(GcpUtils& u) {
    GcpCtx* ctx = u.ctx;
    ctx->log(2, "Creating clones...");
    std::list<StartedStep> started;
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        o->snapInfo->setSnapDevice(CloneDeviceItem::encodeName(o->CloneName).c_str());
        if (o->CloneDevStatus != 3) {
            continue;
        }
        started.emplace_back(o, cloneCreateStep(u, o));
        int rc = u.startStep(started.back().step, started.back().rec);
        if (rc != 0) {
            return rc;
        }
    }
    for (auto& s : started) {
        // GCP refused the insert for the rate of operations: no disk was
        // made, so it is asked for again.
        auto createAgain = [&] {
            int rc = u.startStep(s.step, s.rec);
            return rc == 0 ? u.followStep(s.object, s.step, s.rec) : rc;
        };
        int rc = u.retryRateLimited(u.followStep(s.object, s.step, s.rec), createAgain,
                                    "Clone [" + s.object->CloneName + "]");
        if (rc != 0) {
            return rc;
        }
    }
    for (auto& s : started) {
        int rc = u.monitorResourceStatus(s.object, ctx, s.rec, true);
        if (rc != 0) {
            return rc;
        }
        ctx->log(0, "Clone [%s] of snapshot [%s] is ready", s.object->CloneName.c_str(),
                 s.object->SnapTag.c_str());
    }
    ctx->log(3, "Creating clones... - done");
    return 0;
}

}  // namespace

GcpReqOpInfo GcpUtils::cloneRecord(const GcpObject* o, const char* type) const {
    return opRecord(type, GCP_ENTITY_CLONE, o->CloneName);
}

std::string GcpUtils::cloneLocationPath(const GcpObject* o) const {
    if (!ctx->restoreOptionsFound) {
        return ctx->projectId + "/zones/" + ctx->instanceZone;
    }
    const RestoreInfo& dest = ctx->restoreInfo;
    return dest.destProjectId +
           (o->RegionalDisk ? "/regions/" + dest.destRegion : "/zones/" + dest.destZone);
}

int GcpUtils::mapSnaps() {
    ctx->log(2, "Mapping snapshots - count[%zu]...", ctx->snapMap.size());
    ctx->mapCtx = std::make_unique<GcpMapCtx>();
    setSnapStatus(BXSO::SNAP_MAP_FAILED);

    int rc = 0;
    if (ctx->hpxMode && ctx->restoreOptionsFound) {
        const std::string& destUser = ctx->restoreInfo.destUser;
        if (!destUser.empty() && !strCompare(destUser, ctx->arrayDetails.UserName, true)) {
            rc = performDestAccLogon();
            if (rc != 0) {
                return rc;
            }
        }
        rc = getReplicaZoneURLs();
        if (rc != 0) {
            return rc;
        }
    }
    rc = getSnapDetails();
    if (rc == 0 && !ctx->hpxMode) {
        rc = getSourceGcpDeviceDetails();
    }
    if (rc == 0) {
        rc = getCloneDetails();
    }
    if (rc == 0 && ctx->hpxMode) {
        rc = createInterimClones();
        if (rc == 0) {
            rc = createInterimSnaps();
        }
        if (rc == 0) {
            rc = deleteInterimClones();
        }
    }
    if (rc == 0) {
        rc = createClones(*this);
    }
    if (rc != 0) {
        return rc;
    }

    int mapped = 0;
    if (ctx->hpxMode) {
        rc = deleteInterimSnaps();
        if (rc != 0) {
            return rc;
        }
        for (auto& entry : ctx->snapMap) {
            GcpObject* o = entry.second;
            rc = rest_getCloneDetails(*this, o, ctx);
            if (rc != 0) {
                return rc;
            }
            o->snapInfo->setSnapDevice(
                CloneDeviceItem::encode({o->CloneName, o->CloneId, o->CloneSourceLink}).c_str());
            o->snapInfo->setStatus(BXSO::SNAP_MAP_SUCCESS);
            o->MapStatus = 39;
            ++mapped;
        }
    } else {
        int rc = discoverMappedClones(*this, mapped);
        if (rc != 0) {
            return rc;
        }
    }
    ctx->log(0, "Mapped [%d] clone devices.", mapped);
    ctx->log(3, "Mapping snapshots - count[%zu]... - done", ctx->snapMap.size());
    if (mapped != static_cast<int>(ctx->snapMap.size())) {
        std::string missing;
        for (auto& entry : ctx->snapMap) {
            GcpObject* o = entry.second;
            if (o->snapInfo->getStatus() != BXSO::SNAP_MAP_SUCCESS) {
                missing += (missing.empty() ? "" : ", ") + o->CloneName;
            }
        }
        std::ostringstream msg;
        msg << "Not all devices are found. Total - [" << ctx->snapMap.size() << "] Found- ["
            << mapped << "]. Devices of clones [" << missing << "] were not found.";
        ctx->session().resetError();
        return ctx->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
    }
    return 0;
}

int GcpUtils::getCloneDetails() {
    ctx->log(2, "GCP Getting details of clones...");
    InstanceReadScope once(ctx);
    for (auto& entry : ctx->snapMap) {
        GcpObject* o = entry.second;
        int rc = initCloneInfo(o);
        if (rc != 0) {
            return rc;
        }
        if (!ctx->restoreOptionsFound) {
            rc = rest_getAttachedCloneDetails(*this, o, ctx);
            if (rc == 0) {
                continue;
            }
            if (rc != GCP_ERR_NOT_FOUND) {
                return rc;
            }
        }
        rc = rest_getCloneDetails(*this, o, ctx);
        if (rc != 0 && rc != GCP_ERR_NOT_FOUND) {
            return rc;
        }
    }
    ctx->log(3, "GCP Getting details of clones... - done");
    return 0;
}

int GcpUtils::initCloneInfo(GcpObject* o) {
    o->CloneDevStatus = 3;
    if (!o->snapInfo->isSnapFlagSet(kCloneFlag)) {
        o->CloneName = o->SnapUuid;
        return 0;
    }
    if (ctx->hpxMode && ctx->OpCode == GCP_OP_UNMAP) {
        std::string device;
        o->snapInfo->getSnapDevice(&device);
        CloneDeviceItem::Fields clone;
        CloneDeviceItem::Found found = CloneDeviceItem::decode(device, clone);
        if (found.name) {
            o->CloneName = clone.name;
        } else {
            ctx->log(
                0,
                "GCP Clone name not found in snap device for snap [%s], generating clone name...",
                o->SnapTag.c_str());
            int rc = generateCloneName(o);
            if (rc != 0) {
                return rc;
            }
            ctx->log(0, "GCP >> Clone name is [%s] for snap [%s]", o->CloneName.c_str(),
                     o->SnapTag.c_str());
        }
        if (!found.id) {
            ctx->log(0, "GCP Clone id not found in snap device for snap [%s]", o->SnapTag.c_str());
            return 0;
        }
        o->CloneId = clone.id;
        if (!found.link) {
            ctx->log(0, "GCP Clone URL not found in snap device for snap [%s]", o->SnapTag.c_str());
            return 0;
        }
        o->CloneSourceLink = clone.link;
        return 0;
    }
    return generateCloneName(o);
}

int GcpUtils::generateCloneName(GcpObject* o) {
    const RestoreInfo& dest = ctx->restoreInfo;
    if (ctx->hpxMode && ctx->restoreOptionsFound && dest.inPlaceRestore) {
        o->CloneName = o->GCPDeviceName;
        return 0;
    }
    std::string number = std::to_string(o->snapInfo->getCloneNumber());
    if (ctx->hpxMode && ctx->restoreOptionsFound) {
        const std::string prefix = "bxclone-";
        size_t fixed = prefix.size() + 1 + number.size();
        if (fixed > kMaxCloneNameLength) {
            std::ostringstream msg;
            msg << "Failed to initialize clone name. Length of the clone name exceeded max length ["
                << kMaxCloneNameLength << "] for device [" << o->GCPDeviceName << "].";
            return ctx->fail(GCP_ERR_INTERNAL, msg.str(), logfmt::kStep);
        }
        std::string disk = o->GCPDeviceName.substr(0, kMaxCloneNameLength - fixed);
        o->CloneName = prefix + disk + "-" + number;
        return 0;
    }
    o->CloneName = "bxclone-" + o->SnapUuid + "-" + number;
    return 0;
}

void GcpUtils::buildJSONForAttachCloneReq(GcpObject* o, const long&) {
    ctx->session().restRequest = attachBody(o->CloneSourceLink, o->CloneName);
}

}  // namespace DuVavaZid
