// The one way a change in GCP is started and followed to its end.
#include "gcp/step.h"

#include "common/helpers.h"
#include "gcp/gcp_utils.h"
#include "host/strings.h"
#include "rest/rest_api_gcp.h"

namespace DuVavaZid {

namespace {

// Tabs and all, as GCP has always been sent it.
const char* const kAttachTemplate = "{\t\"source\":\"{1}\",\t\t\t\"deviceName\":\"{2}\"\t\t}";

void logText(GcpCtx* c, int level, const std::string& text) {
    if (!text.empty()) {
        c->log(level, "%s", text.c_str());
    }
}

int sendStepRequest(GcpUtils& u, const StepRequest& r) {
    GcpCtx* ctx = u.ctx;
    u.rest_resetCtx();
    logText(ctx, 2, r.begin);
    if (r.body) {
        int rc = r.body();
        if (rc != 0) {
            return rc;
        }
    }
    BXSnapRESTAPI_Gcp* client =
        r.sourceAccount ? ctx->session().restClient.get() : u.activeClient();
    if (!r.link.empty()) {
        if (client) {
            client->setBasePath(r.link);
        }
    } else {
        ctx->session().restApiPath = r.path;
    }
    const bool sent = client && u.sendMutating(r.post, client);
    const int rc = sent ? 0 : u.failRequest(r.failOn, GCP_ERR_GCP, r.failure);
    if (!r.link.empty()) {
        u.restoreComputeBasePath();
    }
    if (rc != 0) {
        return rc;
    }
    logText(ctx, 0, r.started);
    logText(ctx, 3, r.startedTrace);
    return 0;
}

}  // namespace

GcpReqOpInfo GcpUtils::opRecord(const char* type, uint8_t entityType,
                                const std::string& entityName) const {
    GcpReqOpInfo rec;
    rec.operationType = type;
    rec.entityType = entityType;
    rec.entityName = entityName;
    rec.maxAttempts = ctx->arrayDetails.arrayConfigs.RetryMaxCount;
    rec.sleepInterval = ctx->arrayDetails.arrayConfigs.RetrySleepInterval;
    return rec;
}

std::string GcpUtils::attachBody(const std::string& source, const std::string& deviceName) {
    // Escaped, so that a link or device name cannot change the request's structure.
    return CWnString::Format(kAttachTemplate, {jsonxx::escape(source), jsonxx::escape(deviceName)});
}

std::string GcpUtils::ownInstancePath(bool attach, const std::string& deviceName) const {
    std::string path = ctx->projectId + "/zones/" + ctx->instanceZone + "/instances/" +
                       ctx->instanceName + (attach ? "/attachDisk/" : "/detachDisk/");
    // The device name goes into a query: encoded, so it cannot add parameters.
    return attach ? path : path + "?deviceName=" + urlEncode(deviceName);
}

int GcpUtils::startStep(GcpStep& step, GcpReqOpInfo& rec) {
    int rc = sendStepRequest(*this, step.request);
    if (rc != 0) {
        return rc;
    }
    rec = step.record;
    return step.readLinks ? processResponseForSnapOpAndTargetLink(ctx, rec) : 0;
}

int GcpUtils::followStep(GcpObject* o, const GcpStep& step, GcpReqOpInfo& rec) {
    int rc = monitorSnapOpProgress(o, ctx, rec, true);
    if (rc == 0 && step.waitResource) {
        rc = monitorResourceStatus(o, ctx, rec, true);
    }
    if (rc == 0 && step.after) {
        rc = step.after(rec);
    }
    if (rc == 0) {
        logText(ctx, 0, step.done);
        logText(ctx, 3, step.doneTrace);
    }
    return rc;
}

int GcpUtils::runStep(GcpObject* o, GcpStep& step) {
    logText(ctx, 2, step.begin);
    if (step.precheck) {
        bool needed = true;
        int rc = step.precheck(needed);
        if (rc != 0 || !needed) {
            return rc;
        }
    }
    GcpReqOpInfo rec;
    int rc = startStep(step, rec);
    return rc != 0 ? rc : followStep(o, step, rec);
}

}  // namespace DuVavaZid
