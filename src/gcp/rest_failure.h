// The common failure report of a REST exchange made by the operations class.
#pragma once

#include <string>

#include "context/gcp_ctx.h"

namespace DuVavaZid {

// Logs the failed exchange (masked) and collects GCP's error messages into
// restErrStr; returns that text for the caller's message. When the answer is
// no GCP error document, client's account of the exchange (no answer, or a
// status with a body of another kind) stands in for GCP's message.
std::string collectRestFailure(GcpCtx* ctx, const BXSnapRESTAPI_Gcp* client = nullptr);

}  // namespace DuVavaZid
