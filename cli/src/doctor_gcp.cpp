// doctor: what needs Google. The metadata server (who this VM is, its account
// and scopes), a token of that account, Compute Engine over verified TLS (a
// read of this instance) and the permissions the operations need, asked with
// testIamPermissions on the instance, its disks and a snapshot of this host,
// and by reads that change nothing where no resource can be asked. No token
// is ever printed; Google's error messages are, they never echo credentials.
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

#include "doctor.h"
#include "https_client.h"
#include "jobs.h"
#include "service_key.h"

namespace bxhost {

namespace {

const std::string kScopeBase = "https://www.googleapis.com/auth/";

// A name no resource has: a read of it answers 404 when the caller may read
// such resources and 403 when not.
constexpr const char* kProbeName = "bxso-doctor-probe-absent";

struct Need {
    const char* permission;
    const char* usedBy;
};

const Need kInstanceNeeds[] = {
    {"compute.instances.get", "every operation (finds this VM's disks)"},
    {"compute.instances.attachDisk", "mount, revert"},
    {"compute.instances.detachDisk", "unmount, revert"},
};

const Need kDiskNeeds[] = {
    {"compute.disks.get", "backup, revert"},
    {"compute.disks.createSnapshot", "backup, safe-point snapshot of revert"},
    {"compute.disks.delete", "revert (replaces the disk)"},
    {"compute.disks.use", "revert (attaches the disk again when a revert is undone)"},
};

const Need kSnapshotNeeds[] = {
    {"compute.snapshots.get", "backup, reconcile, delete"},
    {"compute.snapshots.delete", "delete, clean-up of safe-point snapshots"},
    {"compute.snapshots.useReadOnly", "mount, revert (disks made from snapshots)"},
};

// Only creating a resource shows these; they are named so the operator can
// compare them with the account's roles.
const char* const kCreationPermissions[] = {
    "compute.disks.create",        "compute.disks.setLabels",      "compute.snapshots.create",
    "compute.snapshots.setLabels", "compute.resourcePolicies.use",
};

std::string joined(const std::vector<std::string>& items, const std::string& separator = ", ") {
    std::string out;
    for (const auto& i : items) {
        out += (out.empty() ? "" : separator) + i;
    }
    return out;
}

std::string lastSegment(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Project ids (also "example.com:name"), zones and instance names.
bool resourceName(const std::string& name) {
    if (name.empty() || name.size() > 100) {
        return false;
    }
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '-' && c != '.' && c != ':' && c != '_') {
            return false;
        }
    }
    return true;
}

// "us-central1-a" -> "us-central1"
std::string regionOf(const std::string& zone) {
    size_t dash = zone.rfind('-');
    return dash == std::string::npos ? zone : zone.substr(0, dash);
}

// Google's error document as one line: its message and first reason.
struct ApiError {
    std::string message;
    std::string reason;
};

ApiError apiError(const HttpResult& r) {
    ApiError e;
    auto body = nlohmann::json::parse(r.body, nullptr, false);
    if (body.is_object() && body.contains("error") && body["error"].is_object()) {
        const auto& err = body["error"];
        e.message = err.value("message", "");
        if (err.contains("errors") && err["errors"].is_array() && !err["errors"].empty() &&
            err["errors"][0].is_object()) {
            e.reason = err["errors"][0].value("reason", "");
        }
        if (err.contains("details") && err["details"].is_array()) {
            for (const auto& d : err["details"]) {
                if (d.is_object() && d.value("reason", "") == "ACCESS_TOKEN_SCOPE_INSUFFICIENT") {
                    e.reason = "insufficientPermissions";
                }
            }
        }
    } else if (body.is_object() && body.contains("error") && body["error"].is_string()) {
        // The token endpoint's form: {"error": "...", "error_description": "..."}.
        e.reason = body["error"].get<std::string>();
        e.message = body.value("error_description", "");
    }
    if (e.message.empty()) {
        e.message = "HTTP " + std::to_string(r.status);
    }
    return e;
}

bool scopeProblem(const HttpResult& r) {
    if (r.status != 403) {
        return false;
    }
    ApiError e = apiError(r);
    return e.reason == "insufficientPermissions" ||
           e.message.find("insufficient authentication scopes") != std::string::npos;
}

std::string roleFor(const std::string& permission) {
    return permission.rfind("compute.instances.", 0) == 0 ? "roles/compute.instanceAdmin.v1"
                                                          : "roles/compute.storageAdmin";
}

std::string grantFix(const std::string& email, const std::string& project,
                     const std::vector<std::string>& missing) {
    std::set<std::string> roles;
    for (const auto& m : missing) {
        roles.insert(roleFor(m));
    }
    std::string fix;
    for (const auto& role : roles) {
        fix += (fix.empty() ? "" : "; ") + std::string("gcloud projects add-iam-policy-binding ") +
               project + " --member=serviceAccount:" + email + " --role=" + role;
    }
    return fix + " (or a custom role with the missing permissions)";
}

std::string scopesFix(const VmIdentity& vm) {
    return "stop the VM, then: gcloud compute instances set-service-account " + vm.instance +
           " --zone=" + vm.zone +
           " --service-account=" + (vm.email.empty() ? std::string("EMAIL") : vm.email) +
           " --scopes=cloud-platform; start it again";
}

std::string connectFix(const GcpEndpoints& e, const HttpResult& r) {
    if (r.tlsFailure) {
        return e.caBundle.empty()
                   ? "install the system's CA certificates (ca-certificates), or set [Gcp] "
                     "CaBundle to the CA that signs " +
                         e.computeHost
                   : "[Gcp] CaBundle (" + e.caBundle + ") must hold the CA that signs " +
                         e.computeHost;
    }
    return "the VM needs a route to " + e.computeHost +
           " on port 443: an external IP or Cloud NAT, or Private Google Access on its subnet; "
           "check egress firewall rules and https_proxy/no_proxy";
}

class Probe {
  public:
    Probe(Session& session, const GcpEndpoints& endpoints, DoctorReport* report,
          GcpFindings* findings)
        : session_(session), e_(endpoints), report_(report), f_(findings) {}

    void run(bool catalogOpen) {
        if (!readIdentity()) {
            skipAll("needs the metadata server");
            return;
        }
        if (f_->vm.email.empty()) {
            skipAll("needs the VM's service account");
            return;
        }
        if (!readToken()) {
            skipAll("needs a token of the VM's account");
            return;
        }
        if (!readInstance()) {
            skipPermissions("needs a read of this instance");
            return;
        }
        checkInstancePermissions();
        checkDiskPermissions();
        checkSnapshotPermissions(catalogOpen);
        checkOperationReads();
        report_->add("permissions to create", Verdict::Info,
                     "shown only when resources are made: " +
                         joined(std::vector<std::string>(std::begin(kCreationPermissions),
                                                         std::end(kCreationPermissions))) +
                         " (roles/compute.storageAdmin holds them; docs/operations.md)");
    }

  private:
    HttpResult metadata(const std::string& path) {
        HttpRequest r;
        r.url = "http://" + e_.metadataHost + "/computeMetadata/v1/" + path;
        r.extraHeader = "Metadata-Flavor: Google";
        r.connectTimeoutMs = e_.connectTimeoutMs;
        r.timeoutMs = e_.timeoutMs;
        r.maxResponseBytes = e_.maxResponseBytes;
        return httpExchange(r);
    }

    // The value of a metadata leaf; false with *why set when there is none.
    bool metadataValue(const std::string& path, std::string* value, std::string* why) {
        HttpResult r = metadata(path);
        if (!r.ok) {
            *why = "cannot reach the metadata server at http://" + e_.metadataHost + ": " + r.error;
            return false;
        }
        auto flavor = r.headers.find("metadata-flavor");
        if (flavor == r.headers.end() || flavor->second != "Google") {
            *why = "http://" + e_.metadataHost +
                   " answered without Metadata-Flavor: Google: it is not the metadata server "
                   "(a proxy on the way?)";
            return false;
        }
        if (r.status != 200) {
            *why = "the metadata server answered HTTP " + std::to_string(r.status) + " for " + path;
            return false;
        }
        *value = r.body;
        while (!value->empty() && (value->back() == '\n' || value->back() == '\r')) {
            value->pop_back();
        }
        return true;
    }

    bool readIdentity() {
        VmIdentity& vm = f_->vm;
        std::string why;
        std::string zone;
        std::string fix =
            "run doctor on the GCE VM that runs the backups; elsewhere, [Gcp] MetadataHost "
            "names the metadata server" +
            std::string(e_.metadataFromEnvironment ? " (GCE_METADATA_HOST overrides it here)"
                                                   : "") +
            ". A proxy must not carry metadata requests: add " + e_.metadataHost + " to no_proxy";
        if (!metadataValue("project/project-id", &vm.project, &why) ||
            !metadataValue("instance/zone", &zone, &why) ||
            !metadataValue("instance/name", &vm.instance, &why) ||
            !metadataValue("instance/id", &vm.instanceId, &why)) {
            report_->add("metadata server", Verdict::Fail, why, fix);
            return false;
        }
        vm.zone = lastSegment(zone);
        // These names go into request paths: an answer that is no name (a
        // proxy's page, a path) stops here.
        for (const std::string* name : {&vm.project, &vm.zone, &vm.instance}) {
            if (!resourceName(*name)) {
                report_->add("metadata server", Verdict::Fail,
                             "http://" + e_.metadataHost + " answered [" + *name +
                                 "] where a project, zone or instance name belongs",
                             fix);
                return false;
            }
        }
        vm.known = true;
        report_->add("metadata server", Verdict::Ok,
                     "http://" + e_.metadataHost + ": project " + vm.project + ", zone " + vm.zone +
                         ", instance " + vm.instance + " (id " + vm.instanceId + ")");
        HttpResult email = metadata("instance/service-accounts/default/email");
        if (email.ok && email.status == 404) {
            report_->add("service account", Verdict::Fail,
                         "this VM runs without a service account: local disks (array "
                         "GCP-Default-IAM) have no credentials",
                         "stop the VM and give it a service account: gcloud compute instances "
                         "set-service-account " +
                             vm.instance + " --zone=" + vm.zone +
                             " --service-account=EMAIL --scopes=cloud-platform");
            return true;
        }
        if (!metadataValue("instance/service-accounts/default/email", &vm.email, &why)) {
            report_->add("service account", Verdict::Fail, why);
            vm.email.clear();
            return true;
        }
        report_->add("service account", Verdict::Ok, vm.email);
        std::string scopes;
        if (!metadataValue("instance/service-accounts/default/scopes", &scopes, &why)) {
            report_->add("scopes", Verdict::Fail, why);
            return true;
        }
        size_t start = 0;
        while (start < scopes.size()) {
            size_t nl = scopes.find('\n', start);
            nl = nl == std::string::npos ? scopes.size() : nl;
            if (nl > start) {
                vm.scopes.push_back(scopes.substr(start, nl - start));
            }
            start = nl + 1;
        }
        std::vector<std::string> shortNames;
        for (const auto& s : vm.scopes) {
            shortNames.push_back(s.rfind(kScopeBase, 0) == 0 ? s.substr(kScopeBase.size()) : s);
        }
        if (scopesReachCompute(vm.scopes)) {
            report_->add("scopes", Verdict::Ok,
                         joined(shortNames) + ": Compute Engine read and write allowed");
        } else {
            report_->add("scopes", Verdict::Fail,
                         (shortNames.empty() ? std::string("none") : joined(shortNames)) +
                             ": none lets Compute Engine make changes (cloud-platform or "
                             "compute); the VM's tokens cannot snapshot, mount or revert "
                             "whatever the account's roles",
                         scopesFix(vm));
        }
        return true;
    }

    bool readToken() {
        HttpResult r = metadata("instance/service-accounts/default/token");
        SecretText body;
        body.text().swap(r.body);
        if (!r.ok || r.status != 200) {
            report_->add("token", Verdict::Fail,
                         "the metadata server gave no token for " + f_->vm.email + ": " +
                             (r.ok ? "HTTP " + std::to_string(r.status) : r.error));
            return false;
        }
        auto json = nlohmann::json::parse(body.text(), nullptr, false);
        if (!json.is_object() || !json.contains("access_token") ||
            !json["access_token"].is_string()) {
            report_->add("token", Verdict::Fail, "the metadata server's token answer is not JSON");
            return false;
        }
        token_.text() = json["access_token"].get<std::string>();
        wipeString(&json["access_token"].get_ref<std::string&>());
        session_.redactor().addSecret(token_.text());
        long expires = json.value("expires_in", 0L);
        report_->add(
            "token", Verdict::Ok,
            "an access token for " + f_->vm.email + " (valid " + std::to_string(expires) + " s)");
        return true;
    }

    HttpResult compute(const std::string& method, const std::string& path,
                       const std::string& body = "") {
        HttpRequest r;
        r.method = method;
        r.url = "https://" + e_.computeHost + "/compute/v1/" + path;
        r.body = body;
        r.caBundle = e_.caBundle;
        r.bearerToken = token_.text();
        r.connectTimeoutMs = e_.connectTimeoutMs;
        r.timeoutMs = e_.timeoutMs;
        r.maxResponseBytes = e_.maxResponseBytes;
        HttpResult result = httpExchange(r);
        wipeString(&r.bearerToken);
        return result;
    }

    std::string instancePath() const {
        const VmIdentity& vm = f_->vm;
        return "projects/" + vm.project + "/zones/" + vm.zone + "/instances/" + vm.instance;
    }

    bool readInstance() {
        const VmIdentity& vm = f_->vm;
        HttpResult r = compute("GET", instancePath());
        const std::string endpoint = "https://" + e_.computeHost;
        if (!r.ok) {
            report_->add("compute endpoint", Verdict::Fail,
                         endpoint + (r.tlsFailure ? ": TLS verification failed: " : ": ") + r.error,
                         connectFix(e_, r));
            return false;
        }
        if (r.status == 200) {
            f_->instance = nlohmann::json::parse(r.body, nullptr, false);
            if (!f_->instance.is_object()) {
                report_->add("compute endpoint", Verdict::Fail,
                             endpoint + ": the instance read is not JSON");
                return false;
            }
            f_->instanceRead = true;
            size_t disks = f_->instance.contains("disks") && f_->instance["disks"].is_array()
                               ? f_->instance["disks"].size()
                               : 0;
            report_->add("compute endpoint", Verdict::Ok,
                         endpoint + ": TLS verified; instance " + vm.instance + " read, " +
                             std::to_string(disks) + " disk(s) attached");
            return true;
        }
        ApiError err = apiError(r);
        std::string fix;
        if (scopeProblem(r)) {
            fix = scopesFix(vm);
        } else if (r.status == 403) {
            fix = grantFix(vm.email, vm.project, {"compute.instances.get"});
        } else if (r.status == 401) {
            fix =
                "the token was refused: check the VM's service account (it may be disabled "
                "or deleted)";
        } else if (r.status == 404) {
            fix = "the metadata server and [Gcp] ComputeHost (" + e_.computeHost +
                  ") disagree about this VM";
        }
        report_->add("compute endpoint", Verdict::Fail,
                     endpoint + ": TLS verified; reading instance " + vm.instance +
                         " failed: HTTP " + std::to_string(r.status) + " " + err.message,
                     fix);
        return false;
    }

    // testIamPermissions on a resource path; false when the call itself
    // failed (*why says how).
    bool granted(const std::string& path, const std::vector<std::string>& asked,
                 std::set<std::string>* out, std::string* why) {
        nlohmann::json body = {{"permissions", asked}};
        HttpResult r = compute("POST", path + "/testIamPermissions", body.dump());
        if (!r.ok) {
            *why = r.error;
            return false;
        }
        if (r.status != 200) {
            *why = "HTTP " + std::to_string(r.status) + " " + apiError(r).message;
            return false;
        }
        auto answer = nlohmann::json::parse(r.body, nullptr, false);
        if (!answer.is_object()) {
            *why = "the answer is not JSON";
            return false;
        }
        // An empty set leaves "permissions" out.
        if (answer.contains("permissions") && answer["permissions"].is_array()) {
            for (const auto& p : answer["permissions"]) {
                if (p.is_string()) {
                    out->insert(p.get<std::string>());
                }
            }
        }
        return true;
    }

    template <size_t N>
    void judge(const std::string& item, const std::string& path, const Need (&needs)[N],
               const std::string& fallbackWhenUntested) {
        std::vector<std::string> asked;
        for (const auto& n : needs) {
            asked.push_back(n.permission);
        }
        std::set<std::string> have;
        std::string why;
        if (!granted(path, asked, &have, &why)) {
            report_->add(item, Verdict::Warn,
                         "testIamPermissions failed (" + why + "); " + fallbackWhenUntested);
            return;
        }
        std::vector<std::string> missing;
        std::string uses;
        for (const auto& n : needs) {
            if (!have.count(n.permission)) {
                missing.push_back(n.permission);
                uses += std::string(uses.empty() ? "" : "; ") + n.permission + ": " + n.usedBy;
            }
        }
        if (missing.empty()) {
            report_->add(item, Verdict::Ok, joined(asked) + " granted");
        } else {
            report_->add(item, Verdict::Fail, "missing " + uses,
                         grantFix(f_->vm.email, f_->vm.project, missing));
        }
    }

    void checkInstancePermissions() {
        judge("permissions on instance " + f_->vm.instance, instancePath(), kInstanceNeeds,
              "compute.instances.get works (the instance was read); attach and detach untested");
    }

    void checkDiskPermissions() {
        const auto& disks = f_->instance.value("disks", nlohmann::json::array());
        for (const auto& d : disks) {
            if (!d.is_object() || !d.contains("source") || !d["source"].is_string()) {
                continue;
            }
            std::string source = d["source"].get<std::string>();
            const std::string marker = "/compute/v1/";
            size_t at = source.find(marker);
            std::string path = at == std::string::npos ? source : source.substr(at + marker.size());
            if (path.rfind("projects/", 0) != 0) {
                continue;
            }
            judge("permissions on disk " + lastSegment(path), path, kDiskNeeds,
                  "its permissions are untested");
        }
    }

    void checkSnapshotPermissions(bool catalogOpen) {
        // A live snapshot of this host in this VM's project, when the catalog
        // holds one, answers testIamPermissions like any other resource.
        std::string name;
        if (catalogOpen) {
            for (const auto& row : session_.catalog().snapshots(SnapFilter{})) {
                if (isLive(row) && !row.name.empty() && row.sourceDevice.rfind("/", 0) == 0) {
                    name = row.name;
                }
            }
        }
        const std::string item = "permissions on snapshots";
        if (!name.empty()) {
            std::set<std::string> have;
            std::string why;
            std::vector<std::string> asked;
            for (const auto& n : kSnapshotNeeds) {
                asked.push_back(n.permission);
            }
            if (granted("projects/" + f_->vm.project + "/global/snapshots/" + name, asked, &have,
                        &why)) {
                std::vector<std::string> missing;
                for (const auto& p : asked) {
                    if (!have.count(p)) {
                        missing.push_back(p);
                    }
                }
                if (missing.empty()) {
                    report_->add(item, Verdict::Ok, joined(asked) + " granted (on " + name + ")");
                } else {
                    report_->add(item, Verdict::Fail,
                                 "missing " + joined(missing) + " (on " + name + ")",
                                 grantFix(f_->vm.email, f_->vm.project, missing));
                }
                return;
            }
        }
        HttpResult r =
            compute("GET", "projects/" + f_->vm.project + "/global/snapshots/" + kProbeName);
        if (r.ok && r.status == 404) {
            report_->add(item, Verdict::Ok,
                         "compute.snapshots.get granted (read); delete and useReadOnly are "
                         "tested on a snapshot once the catalog holds one");
        } else if (r.ok && r.status == 403 && !scopeProblem(r)) {
            report_->add(item, Verdict::Fail,
                         "missing compute.snapshots.get: " + apiError(r).message,
                         grantFix(f_->vm.email, f_->vm.project, {"compute.snapshots.get"}));
        } else {
            report_->add(item, Verdict::Warn,
                         "a read of snapshots gave " +
                             (r.ok ? "HTTP " + std::to_string(r.status) + " " + apiError(r).message
                                   : r.error));
        }
    }

    void checkOperationReads() {
        const VmIdentity& vm = f_->vm;
        struct Read {
            const char* permission;
            std::string path;
        } reads[] = {
            {"compute.zoneOperations.get",
             "projects/" + vm.project + "/zones/" + vm.zone + "/operations/" + kProbeName},
            {"compute.regionOperations.get", "projects/" + vm.project + "/regions/" +
                                                 regionOf(vm.zone) + "/operations/" + kProbeName},
            {"compute.globalOperations.get",
             "projects/" + vm.project + "/global/operations/" + kProbeName},
        };
        std::vector<std::string> ok, missing, unclear;
        for (const auto& read : reads) {
            HttpResult r = compute("GET", read.path);
            if (r.ok && r.status == 404) {
                ok.push_back(read.permission);
            } else if (r.ok && r.status == 403 && !scopeProblem(r)) {
                missing.push_back(read.permission);
            } else {
                unclear.push_back(std::string(read.permission) + " (" +
                                  (r.ok ? "HTTP " + std::to_string(r.status) : r.error) + ")");
            }
        }
        const std::string item = "permissions on operations";
        if (!missing.empty()) {
            report_->add(item, Verdict::Fail,
                         "missing " + joined(missing) +
                             ": each operation waits on its Compute Engine Operations",
                         grantFix(vm.email, vm.project, missing));
        } else if (!unclear.empty()) {
            report_->add(item, Verdict::Warn, "untested: " + joined(unclear));
        } else {
            report_->add(item, Verdict::Ok, joined(ok) + " granted (reads)");
        }
    }

    void skipPermissions(const std::string& why) {
        report_->add("permissions", Verdict::Skip, why);
    }

    void skipAll(const std::string& why) {
        report_->add("compute endpoint", Verdict::Skip, why);
        skipPermissions(why);
    }

    Session& session_;
    const GcpEndpoints& e_;
    DoctorReport* report_;
    GcpFindings* f_;
    SecretText token_;
};

}  // namespace

bool scopesReachCompute(const std::vector<std::string>& scopes) {
    for (const auto& s : scopes) {
        if (s == kScopeBase + "cloud-platform" || s == kScopeBase + "compute") {
            return true;
        }
    }
    return false;
}

void checkGcp(Session& session, const GcpEndpoints& endpoints, bool catalogOpen,
              DoctorReport* report, GcpFindings* findings) {
    Probe(session, endpoints, report, findings).run(catalogOpen);
}

}  // namespace bxhost
