// Compute Engine API v1, with the semantics a client can observe on the real service: the
// request's way to its handler (parsing, permission, project, the route table), projects,
// zones, regions, Operations (and their wait), testIamPermissions and requestId repeats.
// The handlers of disks and snapshots are in compute_disks.cpp, of instances in
// compute_instances.cpp.
#include <cctype>
#include <chrono>
#include <thread>

#include "impl.h"
#include "util.h"

namespace gce {

namespace {

// The IAM permission a request needs, from its method and path; also for a path that no
// route serves, since the permission check comes before the 404.
std::string permissionFor(const std::string& method, const std::vector<std::string>& r) {
    std::string collection = "projects";
    std::string verb = method == "GET" ? "get" : method == "DELETE" ? "delete" : "create";
    if (r.size() >= 3 && (r[0] == "zones" || r[0] == "regions")) {
        collection = r[2];
        if (collection == "operations") {
            collection = r[0] == "zones" ? "zoneOperations" : "regionOperations";
        } else if (r[0] == "regions") {
            collection = "region" + std::string(1, static_cast<char>(std::toupper(r[2][0]))) +
                         r[2].substr(1);
        }
        if (r.size() == 3 && method == "GET") {
            verb = "list";
        }
        if (r.size() == 5) {
            verb = r[4] == "wait" ? "get" : r[4];
        }
    } else if (r.size() >= 2 && r[0] == "global") {
        collection = r[1] == "operations" ? "globalOperations" : r[1];
        if (r.size() == 2 && method == "GET") {
            verb = "list";
        }
    } else if (r.size() == 2) {
        collection = r[0];
    }
    return "compute." + collection + "." + verb;
}

using Impl = Emulator::Impl;
using Handler = void (Impl::*)(ComputeCall&, Reply&);

struct RouteRow {
    const char* method;
    const char* pattern;  // the segments after projects/P; "{name}" takes any one segment
    Handler handler;
};

// Every method of the API the emulator serves. Regional disks (regionDisks.*) share the
// zonal disks' handlers. Operation wait (.../operations/OP/wait) is no route: it blocks,
// so handleCompute runs it outside the lock.
const RouteRow kRoutes[] = {
    {"GET", "", &Impl::projectsGet},
    {"GET", "zones/{zone}", &Impl::zonesGet},
    {"GET", "regions/{region}", &Impl::regionsGet},
    {"GET", "zones/{zone}/operations/{operation}", &Impl::operationsGet},
    {"GET", "regions/{region}/operations/{operation}", &Impl::operationsGet},
    {"GET", "global/operations/{operation}", &Impl::operationsGet},
    {"GET", "zones/{zone}/diskTypes/{diskType}", &Impl::diskTypesGet},
    {"GET", "regions/{region}/diskTypes/{diskType}", &Impl::diskTypesGet},
    {"GET", "zones/{zone}/disks", &Impl::disksList},
    {"GET", "regions/{region}/disks", &Impl::disksList},
    {"POST", "zones/{zone}/disks", &Impl::disksInsert},
    {"POST", "regions/{region}/disks", &Impl::disksInsert},
    {"GET", "zones/{zone}/disks/{disk}", &Impl::disksGet},
    {"GET", "regions/{region}/disks/{disk}", &Impl::disksGet},
    {"DELETE", "zones/{zone}/disks/{disk}", &Impl::disksDelete},
    {"DELETE", "regions/{region}/disks/{disk}", &Impl::disksDelete},
    {"POST", "zones/{zone}/disks/{disk}/createSnapshot", &Impl::disksCreateSnapshot},
    {"POST", "regions/{region}/disks/{disk}/createSnapshot", &Impl::disksCreateSnapshot},
    {"POST", "zones/{zone}/disks/{disk}/testIamPermissions", &Impl::disksTestIam},
    {"POST", "regions/{region}/disks/{disk}/testIamPermissions", &Impl::disksTestIam},
    {"GET", "global/snapshots", &Impl::snapshotsList},
    {"POST", "global/snapshots", &Impl::snapshotsInsert},
    {"GET", "global/snapshots/{snapshot}", &Impl::snapshotsGet},
    {"DELETE", "global/snapshots/{snapshot}", &Impl::snapshotsDelete},
    {"POST", "global/snapshots/{snapshot}/testIamPermissions", &Impl::snapshotsTestIam},
    {"GET", "zones/{zone}/instances/{instance}", &Impl::instancesGet},
    {"POST", "zones/{zone}/instances/{instance}/attachDisk", &Impl::instancesAttachDisk},
    {"POST", "zones/{zone}/instances/{instance}/detachDisk", &Impl::instancesDetachDisk},
    {"POST", "zones/{zone}/instances/{instance}/testIamPermissions", &Impl::instancesTestIam},
};

struct Route {
    std::string method;
    std::vector<std::string> segments;
    Handler handler;
};

const std::vector<Route>& routes() {
    static const std::vector<Route> table = [] {
        std::vector<Route> v;
        for (const RouteRow& row : kRoutes) {
            v.push_back(Route{row.method, util::splitPath(row.pattern), row.handler});
        }
        return v;
    }();
    return table;
}

// The route of c (its placeholders then in c.args), or null.
const Route* findRoute(ComputeCall& c) {
    for (const Route& route : routes()) {
        if (route.method != c.method || route.segments.size() != c.r.size()) {
            continue;
        }
        std::map<std::string, std::string> args;
        bool match = true;
        for (size_t i = 0; match && i < c.r.size(); ++i) {
            const std::string& s = route.segments[i];
            if (s.size() > 2 && s.front() == '{' && s.back() == '}') {
                args[s.substr(1, s.size() - 2)] = c.r[i];
            } else {
                match = s == c.r[i];
            }
        }
        if (match) {
            c.args = std::move(args);
            return &route;
        }
    }
    return nullptr;
}

// The parents a path names must exist whatever follows them, for every method: under an
// unknown zone or region the answer is 404 for that zone or region, under an unknown
// instance 404 for the instance. Sets c.instance.
bool resolveParents(Impl& m, ComputeCall& c, Reply& out) {
    if (c.scopePath.empty()) {
        return true;
    }
    const std::string key = c.project + "/" + c.scope.name;
    bool known =
        c.scope.kind == Scope::Zone ? m.world.zones.count(key) > 0 : m.world.regions.count(key) > 0;
    if (!known) {
        out.error(errors::notFound(c.scopePath));
        return false;
    }
    if (c.scope.kind == Scope::Zone && c.r.size() >= 4 && c.r[2] == "instances") {
        c.instance = m.findInstanceLocked(c.project, c.scope.name, c.r[3]);
        if (c.instance == nullptr) {
            out.error(errors::notFound(c.scopePath + "/instances/" + c.r[3]));
            return false;
        }
        c.instancePath = c.scopePath + "/instances/" + c.instance->name;
    }
    return true;
}

// The key of a request's requestId: per project, like GCE; empty when there is none.
std::string requestIdKey(const httplib::Request& req) {
    if (req.method != "POST" && req.method != "DELETE" && req.method != "PATCH" &&
        req.method != "PUT") {
        return "";
    }
    std::string id = req.get_param_value("requestId");
    if (id.empty()) {
        return "";
    }
    auto seg = util::splitPath(req.path.substr(std::string("/compute/v1/").size()));
    return (seg.size() >= 2 ? seg[1] : std::string()) + "/" + id;
}

}  // namespace

std::string jsonString(const Json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

bool Emulator::Impl::repeatedRequest(const httplib::Request& req, Reply& out) {
    std::string key = requestIdKey(req);
    if (key.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mu);
    auto seen = requestIds.find(key);
    if (seen == requestIds.end()) {
        return false;
    }
    auto op = world.operations.find(seen->second);
    if (op == world.operations.end()) {
        return false;
    }
    int64_t now = util::nowMs();
    advance(now);
    out.status = 200;
    out.body = renderOperation(op->second, now);
    return true;
}

void Emulator::Impl::rememberRequest(const httplib::Request& req, const Reply& out) {
    std::string key = requestIdKey(req);
    if (key.empty() || out.status != 200 || !out.body.is_object() ||
        out.body.value("kind", "") != "compute#operation") {
        return;
    }
    std::string link = out.body.value("selfLink", "");
    size_t at = link.find("/compute/v1/");
    if (at == std::string::npos) {
        return;
    }
    std::lock_guard<std::mutex> lock(mu);
    requestIds[key] = link.substr(at + std::string("/compute/v1/").size());
}

void Emulator::Impl::handleCompute(const httplib::Request& req, Reply& out,
                                   const std::string& email) {
    const std::string prefix = "/compute/v1/";
    auto seg = util::splitPath(req.path.substr(prefix.size()));
    if (seg.size() < 2 || seg[0] != "projects") {
        out.error(errors::notFound(req.path.substr(prefix.size())));
        return;
    }
    ComputeCall c(req, email);
    c.method = req.method;
    c.project = seg[1];
    c.r.assign(seg.begin() + 2, seg.end());
    c.path = "projects/" + c.project;
    for (const auto& s : c.r) {
        c.path += "/" + s;
    }
    if ((c.method == "POST" || c.method == "PUT" || c.method == "PATCH") && !req.body.empty()) {
        try {
            c.body = Json::parse(req.body);
        } catch (const std::exception&) {
            out.error(errors::make(400, "parseError",
                                   "Invalid JSON payload received. Unexpected token."));
            return;
        }
        if (!c.body.is_object()) {
            out.error(errors::make(400, "parseError",
                                   "Invalid JSON payload received. Expected an object."));
            return;
        }
    }
    const auto& r = c.r;
    if (r.size() >= 2 && (r[0] == "zones" || r[0] == "regions")) {
        c.scope = Scope{r[0] == "zones" ? Scope::Zone : Scope::Region, r[1]};
        c.scopePath = "projects/" + c.project + "/" + c.scope.path();
    }

    // Operation wait blocks, so it runs outside the lock.
    bool isWait = c.method == "POST" && !r.empty() && r.back() == "wait" && r.size() >= 4 &&
                  r[r.size() - 3] == "operations";
    // testIamPermissions needs no permission of its own: it says which of the asked ones
    // the caller holds. Nor does it look at the parents: an unknown one is an unknown
    // resource.
    bool isTestIam = c.method == "POST" && !r.empty() && r.back() == "testIamPermissions";
    std::unique_lock<std::mutex> lock(mu);
    c.now = util::nowMs();
    advance(c.now);
    if (!isTestIam) {
        std::string permission = permissionFor(c.method, r);
        if (!accountMay(email, c.project) || permissionDenied(email, permission)) {
            out.error(errors::forbidden(permission, c.path));
            return;
        }
    }
    if (!world.projects.count(c.project)) {
        out.error(errors::notFound("projects/" + c.project));
        return;
    }
    if (isWait) {
        std::string opPath = c.path.substr(0, c.path.size() - 5);
        lock.unlock();
        waitOperation(opPath, out);
        return;
    }
    if (!isTestIam && !resolveParents(*this, c, out)) {
        return;
    }
    const Route* route = findRoute(c);
    if (route == nullptr) {
        if (isTestIam) {
            return testIamAnswer(c, false, out);
        }
        return out.error(errors::notFound(c.path));
    }
    (this->*route->handler)(c, out);
}

Disk* Emulator::Impl::findDiskLocked(const std::string& project, const Scope& sc,
                                     const std::string& nameOrId) {
    auto it = world.disks.find("projects/" + project + "/" + sc.path() + "/disks/" + nameOrId);
    if (it != world.disks.end()) {
        return &it->second;
    }
    for (auto& kv : world.disks) {
        const Disk& d = kv.second;
        if (d.project == project && d.scope.path() == sc.path() && d.id == nameOrId) {
            return &kv.second;
        }
    }
    return nullptr;
}

Snapshot* Emulator::Impl::findSnapshotLocked(const std::string& project,
                                             const std::string& nameOrId) {
    auto it = world.snapshots.find("projects/" + project + "/global/snapshots/" + nameOrId);
    if (it != world.snapshots.end()) {
        return &it->second;
    }
    for (auto& kv : world.snapshots) {
        if (kv.second.project == project && kv.second.id == nameOrId) {
            return &kv.second;
        }
    }
    return nullptr;
}

Instance* Emulator::Impl::findInstanceLocked(const std::string& project, const std::string& zone,
                                             const std::string& nameOrId) {
    auto it =
        world.instances.find("projects/" + project + "/zones/" + zone + "/instances/" + nameOrId);
    if (it != world.instances.end()) {
        return &it->second;
    }
    for (auto& kv : world.instances) {
        if (kv.second.project == project && kv.second.zone == zone && kv.second.id == nameOrId) {
            return &kv.second;
        }
    }
    return nullptr;
}

std::vector<const Operation*> Emulator::Impl::pendingOperationsLocked(
    const std::string& effect) const {
    std::vector<const Operation*> v;
    for (const auto& kv : world.operations) {
        if (!kv.second.applied && !kv.second.failed && kv.second.effect == effect) {
            v.push_back(&kv.second);
        }
    }
    return v;
}

void Emulator::Impl::replyOperationLocked(const std::string& opPath, int64_t now, Reply& out) {
    advance(now);
    out.body = renderOperation(world.operations.at(opPath), now);
}

// ---- projects, zones, regions, Operations ----

void Emulator::Impl::projectsGet(ComputeCall& c, Reply& out) {
    const Project& p = world.projects.at(c.project);
    out.body = Json{{"kind", "compute#project"},
                    {"id", p.number},
                    {"name", p.id},
                    {"selfLink", url("projects/" + c.project)},
                    {"defaultServiceAccount", p.number + "-compute@developer.gserviceaccount.com"}};
}

void Emulator::Impl::zonesGet(ComputeCall& c, Reply& out) {
    out.body = renderZone(world.zones.at(c.project + "/" + c.scope.name));
}

void Emulator::Impl::regionsGet(ComputeCall& c, Reply& out) {
    out.body = renderRegion(world.regions.at(c.project + "/" + c.scope.name));
}

void Emulator::Impl::operationsGet(ComputeCall& c, Reply& out) {
    auto it = world.operations.find(c.path);
    if (it == world.operations.end()) {
        return out.error(errors::notFound(c.path));
    }
    out.body = renderOperation(it->second, c.now);
}

// ---- testIamPermissions ----

void Emulator::Impl::instancesTestIam(ComputeCall& c, Reply& out) {
    bool found = findInstanceLocked(c.project, c.arg("zone"), c.arg("instance")) != nullptr;
    testIamAnswer(c, found, out);
}

void Emulator::Impl::disksTestIam(ComputeCall& c, Reply& out) {
    testIamAnswer(c, findDiskLocked(c.project, c.scope, c.arg("disk")) != nullptr, out);
}

void Emulator::Impl::snapshotsTestIam(ComputeCall& c, Reply& out) {
    testIamAnswer(c, findSnapshotLocked(c.project, c.arg("snapshot")) != nullptr, out);
}

// found: the resource (the path without /testIamPermissions) exists.
void Emulator::Impl::testIamAnswer(ComputeCall& c, bool found, Reply& out) {
    if (!found) {
        return out.error(errors::notFound(c.path.substr(0, c.path.rfind('/'))));
    }
    Json asked = c.body.value("permissions", Json::array());
    if (!asked.is_array()) {
        return out.error(errors::invalid("permissions", asked.dump(), "Must be a list."));
    }
    Json granted = Json::array();
    for (const auto& p : asked) {
        if (!p.is_string() || p.get<std::string>().find('*') != std::string::npos) {
            return out.error(errors::invalid(
                "permissions", p.dump(),
                "Permissions with wildcards (such as '*' or 'storage.*') are not allowed."));
        }
        if (accountMay(c.email, c.project) && !permissionDenied(c.email, p.get<std::string>())) {
            granted.push_back(p);
        }
    }
    // Like Compute Engine, an empty answer leaves the list out.
    out.body = granted.empty() ? Json::object() : Json{{"permissions", granted}};
}

void Emulator::Impl::waitOperation(const std::string& opPath, Reply& out) {
    int64_t deadline = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu);
            int64_t now = util::nowMs();
            if (deadline == 0) {
                // Compute Engine answers after about two minutes at most; scaled, and never
                // longer than 30 s of real time so that a test cannot hang on it.
                deadline = now + std::min<int64_t>(scaledMs("operation.wait"), 30000);
            }
            advance(now);
            auto it = world.operations.find(opPath);
            if (it == world.operations.end()) {
                out.error(errors::notFound(opPath));
                return;
            }
            if (operationStatus(it->second, now) == "DONE" || now >= deadline) {
                out.body = renderOperation(it->second, now);
                saveIfChangedLocked();
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace gce
