// Pieces shared by the revert orchestration and its disk operations.
#pragma once

#include "context/gcp_ctx.h"

namespace DuVavaZid {

// Shown to users as the name of the setting that keeps a safe-point snapshot.
constexpr const char* kSafePointConfigName = "Create safe-point snapshot before revert";

}  // namespace DuVavaZid
