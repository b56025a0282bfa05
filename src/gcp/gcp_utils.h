// The operations of one call, bound to its context. Members are defined in
// several files by operation family.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "context/gcp_ctx.h"

namespace DuVavaZid {

class GcpUtils {
public:
    explicit GcpUtils(GcpCtx* ctx) : ctx(ctx) {}
    GcpUtils(const GcpUtils&) = delete;
    GcpUtils& operator=(const GcpUtils&) = delete;

    // Loops over every record of the context.
    void setSnapStatus(BXSO::SnapStatus status);
    void setSnapFlags(int flags);

    // Metadata items that belong to an operation family.
    int setSnapOpLinkInMetadata(const std::string& link, GcpObject* object, GcpCtx* ctx);
    int getSnapOpLinkFromMetadata(std::string& link, GcpObject* object, GcpCtx* ctx);
    int setInterimCloneInfoMetadata(GcpObject* object, GcpCtx* ctx);
    int getInterimCloneInfoMetadata(GcpObject* object, GcpCtx* ctx);

    // Connection.
    int rest_connectToArray();

    // Local devices.
    int isGoogleDevice(const std::string& deviceName);
    int processSCSIDetails(std::vector<short>& pageCodes, int flags);

    // Lookups and operations.
    int discoverArrayVolumeDetails();
    int createSnaps();
    int postCreateSnaps();
    int mapSnaps();
    int unmapSnaps();
    bool checkSnapStatusForDelete();
    int deleteSnaps();
    int reconSnaps();
    int revertSnaps();

    // Error reporting.
    void logErrorDetails(GcpCtx* ctx);

    GcpCtx* ctx;
    std::unique_ptr<GcpUtils> secondUtils;

private:
    // Steps that this build does not provide yet answer through this.
    int notAvailable(const char* step);
};

}  // namespace DuVavaZid
