#include "context/failure.h"

#include "context/gcp_ctx.h"

namespace DuVavaZid {

namespace {

struct HostError {
    short opCode;
    int hostError;
};

// The numbers the host knows each operation's failure by.
constexpr HostError kHostErrors[] = {
    {GCP_OP_PREPARE, 62008}, {GCP_OP_SNAP, 60001},      {GCP_OP_POST_SNAP, 60001},
    {GCP_OP_MAP, 62009},     {GCP_OP_UNMAP, 62010},     {GCP_OP_REVERT, 60005},
    {GCP_OP_DELETE, 60004},  {GCP_OP_RECONCILE, 60298},
};

}  // namespace

int hostErrorOf(short opCode) {
    for (const HostError& e : kHostErrors) {
        if (e.opCode == opCode) {
            return e.hostError;
        }
    }
    return 0;
}

int hostErrorForOp(short opCode, int code, int ctxCode) {
    int host = hostErrorOf(opCode);
    if (host != 0) {
        return host;
    }
    return code >= 1 ? code : ctxCode;
}

}  // namespace DuVavaZid
