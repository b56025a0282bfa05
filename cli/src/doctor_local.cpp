// doctor: what is on this machine. The device backend (may the devices be
// opened for SG_IO or NVMe identify, which are Google persistent disks and
// under which device names, and do they match the disks attached to this VM)
// and the arrays (their accounts and keys; a key is proven by the token it
// gets from the token endpoint).
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "device_list.h"
#include "doctor.h"
#include "host_record.h"
#include "https_client.h"
#include "service_key.h"

namespace bxhost {

namespace {

constexpr const char* kKeyConfig = "SMCONFIG_P12_KEY_FILENAME_KEY";
constexpr const char* kLocalArray = "GCP-Default-IAM";
constexpr const char* kCloudPlatform = "https://www.googleapis.com/auth/cloud-platform";

struct DirClose {
    void operator()(DIR* d) const { ::closedir(d); }
};

struct FdClose {
    int fd;
    ~FdClose() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items) {
        out += (out.empty() ? "" : ", ") + i;
    }
    return out;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    return first == std::string::npos
               ? std::string()
               : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Disks a guest sees: SCSI (sd), NVMe namespaces and virtio-blk.
bool diskNode(const std::string& device) {
    return startsWith(device, "/dev/sd") || startsWith(device, "/dev/nvme") ||
           startsWith(device, "/dev/vd");
}

// Device names of Google persistent disks, from the links udev makes for them
// (/dev/disk/by-id/google-NAME, for SCSI and NVMe disks alike).
std::map<std::string, std::string> linuxDeviceNames() {
    std::map<std::string, std::string> names;
    const std::string dir = "/dev/disk/by-id";
    std::unique_ptr<DIR, DirClose> d(::opendir(dir.c_str()));
    if (!d) {
        return names;
    }
    while (struct dirent* e = ::readdir(d.get())) {
        std::string entry = e->d_name;
        // Links of partitions resolve to partitions, which are no listed disk.
        if (!startsWith(entry, "google-")) {
            continue;
        }
        char resolved[PATH_MAX];
        if (::realpath((dir + "/" + entry).c_str(), resolved)) {
            names[resolved] = entry.substr(7);
        }
    }
    return names;
}

// Bytes of an answer of the emulator's device view ({"data": "<hex>"}).
std::string emulatorDeviceData(const SettingsView& settings, const std::string& query) {
    std::string url = settings.get("Devices", "EmulatorUrl");
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    HttpRequest request;
    request.url = url + "/emulator/v1/" + query;
    request.caBundle = settings.get("Devices", "CaBundle", settings.get("Gcp", "CaBundle"));
    HttpResult result = httpExchange(request);
    if (!result.ok || result.status != 200) {
        return "";
    }
    auto body = nlohmann::json::parse(result.body, nullptr, false);
    if (!body.is_object() || !body.contains("data") || !body["data"].is_string()) {
        return "";
    }
    const std::string hex = body["data"].get<std::string>();
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

// The device name an emulated disk reports as a GCE persistent disk does: in
// its unit serial number page (VPD 0x80) on SCSI, in the vendor-specific area
// of Identify Namespace ({"device_name": ...} from byte 384) on NVMe.
std::string emulatorDeviceName(const SettingsView& settings, const std::string& device) {
    if (startsWith(device, "/dev/nvme")) {
        std::string ns = emulatorDeviceData(settings, "nvme/identify?device=" + device + "&cns=0");
        if (ns.size() <= 384) {
            return "";
        }
        std::string area = ns.substr(384);
        auto json = nlohmann::json::parse(area.substr(0, area.find('\0')), nullptr, false);
        return json.is_object() && json.contains("device_name") && json["device_name"].is_string()
                   ? json["device_name"].get<std::string>()
                   : "";
    }
    std::string bytes = emulatorDeviceData(
        settings, "scsi/inquiry?device=" + device + "&evpd=1&page=0x80&alloc=255");
    if (bytes.size() < 4 || static_cast<unsigned char>(bytes[1]) != 0x80) {
        return "";
    }
    size_t length =
        (static_cast<unsigned char>(bytes[2]) << 8) | static_cast<unsigned char>(bytes[3]);
    std::string serial = bytes.substr(4, length);
    serial = serial.substr(0, serial.find('\0'));
    return trimmed(serial);
}

void checkDeviceAccess(const std::vector<std::string>& devices, DoctorReport* report) {
    std::vector<std::string> denied;
    bool nvme = false;
    size_t opened = 0;
    for (const auto& device : devices) {
        if (!diskNode(device)) {
            continue;
        }
        nvme = nvme || startsWith(device, "/dev/nvme");
        FdClose fd{::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        if (fd.fd >= 0) {
            ++opened;
        } else if (errno == EACCES || errno == EPERM) {
            denied.push_back(device);
        }
    }
    const std::string rootFix =
        "run the backup agent (and bxso-host) as root: SG_IO INQUIRY and NVMe identify need "
        "the device nodes, NVMe identify also CAP_SYS_ADMIN";
    if (!denied.empty()) {
        report->add("device access", Verdict::Fail,
                    "cannot open " + joined(denied) + " (permission denied)", rootFix);
    } else if (nvme && ::geteuid() != 0) {
        report->add("device access", Verdict::Warn,
                    "NVMe devices present and not running as root: NVMe identify needs "
                    "CAP_SYS_ADMIN",
                    rootFix);
    } else {
        report->add("device access", Verdict::Ok,
                    std::to_string(opened) + " disk device(s) open for SG_IO / NVMe identify" +
                        (::geteuid() == 0 ? " (root)" : ""));
    }
}

// The private key of an array in PEM, from the catalog (PEM, encrypted) or
// from its PKCS#12 file; false with why and fix set when there is none.
bool arrayKey(Session& session, const ArrayRow& array, const std::vector<ConfigRow>& config,
              std::string* pem, std::string* form, std::string* why, std::string* fix) {
    const ConfigRow* key = nullptr;
    for (const auto& c : config) {
        if (c.key == kKeyConfig) {
            key = &c;
        }
    }
    const std::string setFix = "bxso-host array set " + array.name + " --key-json FILE";
    if (!key || key->value.empty()) {
        *why = "no service-account key";
        *fix = setFix;
        return false;
    }
    if (key->secret) {
        *form = "PEM key";
        if (!session.decrypt(key->value, pem)) {
            *why = "the stored key does not decrypt with host key [" + session.options().keyPath +
                   "]: " + session.key().error();
            *fix = "restore that host key file, or set the key again: " + setFix;
            return false;
        }
        if (!checkRsaPrivateKeyPem(*pem, why)) {
            *fix = setFix;
            return false;
        }
        return true;
    }
    *form = "PKCS#12 " + key->value;
    std::string base = trimmed(session.settings().get("Base", "dBASEHOME"));
    if (base.empty()) {
        *why = "PKCS#12 key " + key->value + " needs [Base] dBASEHOME in the settings";
        *fix = "set [Base] dBASEHOME; the file lives in <dBASEHOME>/certificates/external/";
        return false;
    }
    std::string path = base + "/certificates/external/" + key->value;
    SecretText password;
    if (!array.password.empty() && !session.decrypt(array.password, &password.text())) {
        *why = "the array's password does not decrypt with host key [" + session.options().keyPath +
               "]";
        *fix = "bxso-host array set " + array.name + " --password-file FILE";
        return false;
    }
    if (!pkcs12PrivateKeyPem(path, password.text(), pem, why)) {
        *fix =
            "the file must be the account's .p12 key with the array's password "
            "(Google's: notasecret): bxso-host array set " +
            array.name + " --password-file FILE";
        return false;
    }
    session.redactor().addSecret(*pem);
    return true;
}

// Trades a signed JWT for an access token at the token endpoint; the token
// and the assertion are wiped, never shown.
bool tokenFromKey(const GcpEndpoints& e, const std::string& pem, const std::string& email,
                  std::string* why) {
    SecretText jwt;
    if (!signedJwtAssertion(pem, email, e.tokenUrl, kCloudPlatform, std::time(nullptr), &jwt.text(),
                            why)) {
        return false;
    }
    HttpRequest request;
    request.method = "POST";
    request.url = e.tokenUrl;
    request.contentType = "application/x-www-form-urlencoded";
    request.body =
        "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" + jwt.text();
    request.caBundle = e.caBundle;
    request.connectTimeoutMs = e.connectTimeoutMs;
    request.timeoutMs = e.timeoutMs;
    request.maxResponseBytes = e.maxResponseBytes;
    HttpResult r = httpExchange(request);
    wipeString(&request.body);
    SecretText body;
    body.text().swap(r.body);
    if (!r.ok) {
        *why = "cannot reach the token endpoint " + e.tokenUrl + ": " + r.error;
        return false;
    }
    auto json = nlohmann::json::parse(body.text(), nullptr, false);
    if (r.status == 200 && json.is_object() && json.contains("access_token") &&
        json["access_token"].is_string()) {
        wipeString(&json["access_token"].get_ref<std::string&>());
        return true;
    }
    std::string error, description;
    if (json.is_object()) {
        error = json.value("error", "");
        description = json.value("error_description", "");
    }
    *why = e.tokenUrl + " refused the key: HTTP " + std::to_string(r.status) +
           (error.empty() ? "" : " " + error) + (description.empty() ? "" : ": " + description);
    return false;
}

}  // namespace

void checkDevices(Session& session, bool pluginLoaded, const GcpFindings& findings,
                  DoctorReport* report) {
    const SettingsView& settings = session.settings();
    std::string backend = trimmed(settings.get("Devices", "Backend", "linux"));
    std::vector<std::string> devices;
    std::string error;
    if (!listBlockDevices(settings, &devices, &error)) {
        report->add("devices", Verdict::Fail, "backend " + backend + ": " + error,
                    "see [Devices] in docs/configuration.md");
        return;
    }
    if (backend == "linux") {
        checkDeviceAccess(devices, report);
    } else {
        report->add("device access", Verdict::Info,
                    "backend " + backend + ": the emulated VM's devices at " +
                        settings.get("Devices", "EmulatorUrl"));
    }
    if (!pluginLoaded) {
        report->add("devices", Verdict::Skip, "needs the plug-in to recognise persistent disks");
        return;
    }
    std::map<std::string, std::string> names =
        backend == "linux" ? linuxDeviceNames() : std::map<std::string, std::string>();
    HostUtil util(session);
    std::vector<std::string> google, others;
    std::set<std::string> seenNames;
    for (const auto& device : devices) {
        if (!diskNode(device)) {
            continue;
        }
        if (session.plugin().isSupported(device.c_str(), 0, &util, nullptr, 0) != 0) {
            others.push_back(device);
            continue;
        }
        std::string name = backend == "linux" ? (names.count(device) ? names[device] : "")
                                              : emulatorDeviceName(settings, device);
        if (!name.empty()) {
            seenNames.insert(name);
        }
        google.push_back(device + (name.empty() ? "" : " (" + name + ")"));
    }
    std::string detail = "backend " + backend + "; persistent disks: " +
                         (google.empty() ? std::string("none") : joined(google));
    if (!others.empty()) {
        detail += "; other disks: " + joined(others);
    }
    if (google.empty()) {
        report->add("devices", Verdict::Warn, detail,
                    "the plug-in recognised no Google persistent disk: its debug log says why "
                    "for each device");
        return;
    }
    report->add("devices", Verdict::Ok, detail);
    if (!findings.instanceRead || seenNames.empty()) {
        return;
    }
    std::vector<std::string> unseen;
    for (const auto& d : findings.instance.value("disks", nlohmann::json::array())) {
        std::string name = d.is_object() ? d.value("deviceName", "") : "";
        if (!name.empty() && !seenNames.count(name)) {
            unseen.push_back(name);
        }
    }
    if (unseen.empty()) {
        report->add("attached disks", Verdict::Ok,
                    "every disk attached to " + findings.vm.instance + " has a local device");
    } else {
        report->add(
            "attached disks", Verdict::Warn,
            "attached to " + findings.vm.instance + " without a local device: " + joined(unseen),
            "rescan the SCSI bus (echo '- - -' > /sys/class/scsi_host/hostN/scan) or "
            "check the guest's udev rules");
    }
}

void checkArrays(Session& session, const GcpEndpoints& endpoints, const GcpFindings& findings,
                 DoctorReport* report) {
    auto arrays = session.catalog().arrays();
    bool haveLocal = false;
    for (const auto& array : arrays) {
        const std::string item = "array " + array.name;
        auto config = session.catalog().config(array.num);
        bool hasKey = false;
        for (const auto& c : config) {
            hasKey = hasKey || (c.key == kKeyConfig && !c.value.empty());
        }
        if (array.name == kLocalArray && !hasKey) {
            haveLocal = true;
            if (!findings.vm.known) {
                report->add(item, Verdict::Skip,
                            "uses the VM's service account; needs the metadata server");
            } else if (findings.vm.email.empty()) {
                report->add(item, Verdict::Fail,
                            "uses the VM's service account, and this VM has none");
            } else {
                report->add(item, Verdict::Ok,
                            "local disks, through the VM's service account " + findings.vm.email +
                                " (metadata server)");
            }
            continue;
        }
        haveLocal = haveLocal || array.name == kLocalArray;
        if (array.user.empty()) {
            report->add(item, Verdict::Fail, "no service account (user)",
                        "bxso-host array set " + array.name +
                            " --key-json FILE (takes the account from the key)");
            continue;
        }
        SecretText pem;
        std::string form, why, fix;
        if (!arrayKey(session, array, config, &pem.text(), &form, &why, &fix)) {
            report->add(item, Verdict::Fail, array.user + ": " + why, fix);
            continue;
        }
        if (!tokenFromKey(endpoints, pem.text(), array.user, &why)) {
            report->add(item, Verdict::Fail, array.user + " (" + form + "): " + why,
                        "the key may be deleted or belong to another account: create one "
                        "(gcloud iam service-accounts keys create FILE --iam-account=" +
                            array.user + ") and bxso-host array set " + array.name +
                            " --key-json FILE");
            continue;
        }
        report->add(
            item, Verdict::Ok,
            array.user + " (" + form + "): the key gets a token from " + endpoints.tokenUrl);
    }
    if (!haveLocal) {
        report->add("array " + std::string(kLocalArray), Verdict::Warn,
                    "missing: local disks are reached through it",
                    "bxso-host array add " + std::string(kLocalArray));
    }
}

}  // namespace bxhost
