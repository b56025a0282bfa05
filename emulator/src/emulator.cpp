// Server setup: a throw-away CA and server certificate, the HTTPS server (Compute API, token
// endpoint, control API) and the plain-HTTP metadata server, each on a thread pool that
// counts the connections it accepts; and the public C++ API.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "crypto.h"
#include "impl.h"
#include "util.h"

namespace gce {

namespace {

// Every accepted connection becomes one task of the server's queue: counting the tasks
// counts the TCP connections.
class CountingPool : public httplib::TaskQueue {
  public:
    CountingPool(size_t n, std::atomic<long>* counter) : pool_(n), counter_(counter) {}
    void enqueue(std::function<void()> fn) override {
        if (counter_ != nullptr) {
            ++*counter_;
        }
        pool_.enqueue(std::move(fn));
    }
    void shutdown() override { pool_.shutdown(); }

  private:
    httplib::ThreadPool pool_;
    std::atomic<long>* counter_;
};

bool makeDirs(const std::string& path) {
    std::string cur;
    for (const auto& part : util::splitPath(path)) {
        cur += "/" + part;
        if (mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

void sleepMs(int64_t ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

}  // namespace

Emulator::Impl::Impl(EmulatorOptions o) : opts(std::move(o)) {
    latency = defaultLatencies();
    timeScale = opts.timeScale < 0 ? 0 : opts.timeScale;
    host =
        opts.bindAddress.empty() || opts.bindAddress == "0.0.0.0" ? "127.0.0.1" : opts.bindAddress;
}

void Emulator::Impl::send(httplib::Response& res, const Reply& r) const {
    res.status = r.status;
    if (!r.contentType.empty()) {
        res.set_content(r.text, r.contentType);
    } else {
        res.set_content(r.body.dump(), "application/json; charset=UTF-8");
    }
}

std::vector<Emulator::ServiceAccountKeys> Emulator::Impl::accountsLocked() const {
    std::vector<ServiceAccountKeys> out;
    for (const auto& kv : world.accounts) {
        const ServiceAccount& a = kv.second;
        if (a.pemFile.empty()) {
            continue;
        }
        out.push_back({a.email, a.pemFile, a.p12File, "notasecret", a.keyId, a.jsonFile});
    }
    return out;
}

Emulator::Emulator(EmulatorOptions opts) : impl_(std::make_unique<Impl>(std::move(opts))) {}

Emulator::~Emulator() {
    stop();
    if (ownWorkDir_.empty()) {
        return;
    }
    // It holds the CA key and service-account keys, of use to this emulator only.
    try {
        std::error_code ignored;
        std::filesystem::remove_all(ownWorkDir_, ignored);
    } catch (...) {
    }
}

bool Emulator::start(std::string* error) {
    std::string dummy;
    std::string& err = error != nullptr ? *error : dummy;
    Impl& m = *impl_;
    if (m.running) {
        return true;
    }
    // ---- work directory, CA and server certificate ----
    // A restart of this emulator takes the directory it made before, so its CA and key files
    // stay valid.
    m.workDir = m.opts.workDir.empty() ? ownWorkDir_ : m.opts.workDir;
    if (m.workDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ =
            std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/gce-emulator-XXXXXX";
        if (mkdtemp(&templ[0]) == nullptr) {
            err = "cannot create a work directory";
            return false;
        }
        m.workDir = templ;
        ownWorkDir_ = templ;
    } else if (!makeDirs(m.workDir)) {
        err = "cannot create the work directory " + m.workDir;
        return false;
    }
    crypto::TlsMaterial tls;
    crypto::readFile(m.workDir + "/ca.pem", &tls.caCertPem);
    crypto::readFile(m.workDir + "/ca.key", &tls.caKeyPem);
    if (!crypto::makeTlsMaterial(&tls, m.host, &err)) {
        return false;
    }
    m.caFile = m.workDir + "/ca.pem";
    std::string certFile = m.workDir + "/server.pem", keyFile = m.workDir + "/server.key";
    if (!crypto::writeFile(m.caFile, tls.caCertPem, false) ||
        !crypto::writeFile(m.workDir + "/ca.key", tls.caKeyPem, true) ||
        !crypto::writeFile(certFile, tls.serverCertPem, false) ||
        !crypto::writeFile(keyFile, tls.serverKeyPem, true)) {
        err = "cannot write the certificates into " + m.workDir;
        return false;
    }

    // ---- servers, bound first so that the ports are known to the state ----
    m.apiServer = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
    m.metaServer = std::make_unique<httplib::Server>();
    if (!m.apiServer->is_valid()) {
        err = "cannot set up TLS for the API server";
        return false;
    }
    size_t threads = static_cast<size_t>(std::max(2, m.opts.threads));
    m.apiServer->new_task_queue = [&m, threads] {
        return new CountingPool(threads, &m.connections);
    };
    const size_t metaThreads = std::min<size_t>(threads, 16);
    m.metaServer->new_task_queue = [metaThreads] { return new CountingPool(metaThreads, nullptr); };
    for (httplib::Server* s :
         {static_cast<httplib::Server*>(m.apiServer.get()), m.metaServer.get()}) {
        s->set_tcp_nodelay(true);  // small answers must not wait for delayed ACKs
        s->set_keep_alive_max_count(100000);
        s->set_keep_alive_timeout(30);
        s->set_read_timeout(30);
        s->set_payload_max_length(64 * 1024 * 1024);
    }
    m.apiPort =
        m.opts.apiPort > 0
            ? (m.apiServer->bind_to_port(m.opts.bindAddress, m.opts.apiPort) ? m.opts.apiPort : -1)
            : m.apiServer->bind_to_any_port(m.opts.bindAddress);
    m.metaPort = m.opts.metadataPort > 0
                     ? (m.metaServer->bind_to_port(m.opts.bindAddress, m.opts.metadataPort)
                            ? m.opts.metadataPort
                            : -1)
                     : m.metaServer->bind_to_any_port(m.opts.bindAddress);
    if (m.apiPort <= 0 || m.metaPort <= 0) {
        err = "cannot bind the API or metadata port on " + m.opts.bindAddress;
        m.apiServer.reset();
        m.metaServer.reset();
        return false;
    }
    m.base = m.opts.selfLinkBase.empty()
                 ? "https://" + m.host + ":" + std::to_string(m.apiPort) + "/compute/v1/"
                 : m.opts.selfLinkBase;
    if (m.base.back() != '/') {
        m.base += '/';
    }

    // ---- the world: a state file, else the scenario ----
    {
        std::lock_guard<std::mutex> lock(m.mu);
        std::string stateText;
        bool loaded = false;
        if (!m.opts.stateFile.empty() && crypto::readFile(m.opts.stateFile, &stateText) &&
            !stateText.empty()) {
            Json j;
            try {
                j = Json::parse(stateText);
            } catch (const std::exception& e) {
                err = "state file " + m.opts.stateFile + " is not JSON";
                return false;
            }
            if (!m.worldFromJson(j, &err)) {
                return false;
            }
            loaded = true;
        }
        if (!loaded) {
            std::string text = m.opts.scenarioJson;
            if (text.empty() && !m.opts.scenarioFile.empty() &&
                !crypto::readFile(m.opts.scenarioFile, &text)) {
                err = "cannot read the scenario file " + m.opts.scenarioFile;
                return false;
            }
            if (text.empty()) {
                text = Impl::defaultScenario();
            }
            Json j;
            try {
                j = Json::parse(text);
            } catch (const std::exception& e) {
                err = std::string("scenario is not JSON: ") + e.what();
                return false;
            }
            if (!m.seedLocked(j, &err)) {
                return false;
            }
            auto vm = m.world.instances.find(m.world.thisVm);
            if (!m.opts.thisVmMachineType.empty() && vm != m.world.instances.end()) {
                vm->second.machineType = m.opts.thisVmMachineType;
                for (auto& a : vm->second.disks) {
                    a.interface = util::defaultDiskInterface(m.opts.thisVmMachineType);
                }
                m.world.scsiLetters.clear();
            }
        }
        m.rebuildScsiLocked();
        if (!m.writeKeyFilesLocked(&err)) {
            return false;
        }
        m.changed = true;
        m.saveIfChangedLocked();
    }

    // ---- handlers ----
    auto api = [&m](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/emulator/v1/", 0) == 0) {
            Reply r;
            m.handleControl(req, r);
            m.send(res, r);
            return;
        }
        ++m.requests;
        JournalEntry entry = Impl::entryFor("api", req);
        bool dropAfter = false;
        if (m.applyFault("api", req, res, entry, &dropAfter)) {
            m.record(std::move(entry));
            return;
        }
        int64_t delay = 0;
        {
            std::lock_guard<std::mutex> lock(m.mu);
            delay = m.scaledMs("api.request");
        }
        sleepMs(delay);
        Reply r;
        const std::string& p = req.path;
        if (p == "/token" || p == "/oauth2/v4/token" || p == "/oauth2/v3/token") {
            m.handleToken(req, r);
        } else if (p.rfind("/compute/v1/", 0) == 0) {
            std::string email;
            if (m.authenticate(req, &email, r)) {
                if (!m.repeatedRequest(req, r)) {
                    m.handleCompute(req, r, email);
                    m.rememberRequest(req, r);
                }
                std::lock_guard<std::mutex> lock(m.mu);
                m.saveIfChangedLocked();
            }
        } else {
            r.error(errors::make(404, "notFound", "The requested URL " + p + " was not found."));
        }
        if (dropAfter) {
            Impl::dropAnswer(req, res, entry);
            m.record(std::move(entry));
            return;
        }
        m.send(res, r);
        entry.status = r.status;
        m.record(std::move(entry));
    };
    auto meta = [&m](const httplib::Request& req, httplib::Response& res) {
        ++m.requests;
        JournalEntry entry = Impl::entryFor("metadata", req);
        if (!m.applyFault("metadata", req, res, entry)) {
            int64_t delay = 0;
            {
                std::lock_guard<std::mutex> lock(m.mu);
                delay = m.scaledMs("metadata.request");
            }
            sleepMs(delay);
            m.handleMetadata(req, res);
            entry.status = res.status;
        }
        m.record(std::move(entry));
    };
    for (httplib::Server* s :
         {static_cast<httplib::Server*>(m.apiServer.get()), m.metaServer.get()}) {
        auto h = s == m.metaServer.get() ? httplib::Server::Handler(meta)
                                         : httplib::Server::Handler(api);
        s->Get(".*", h);
        s->Post(".*", h);
        s->Put(".*", h);
        s->Patch(".*", h);
        s->Delete(".*", h);
        s->set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                    std::exception_ptr) {
            res.status = 500;
            res.set_content(errors::byStatus(500, "backendError").body.dump(), "application/json");
        });
    }
    httplib::SSLServer* apiServer = m.apiServer.get();
    httplib::Server* metaServer = m.metaServer.get();
    m.apiThread = std::thread([apiServer] { apiServer->listen_after_bind(); });
    m.metaThread = std::thread([metaServer] { metaServer->listen_after_bind(); });
    for (int i = 0; i < 2000 && !(apiServer->is_running() && metaServer->is_running()); ++i) {
        sleepMs(1);
    }
    m.running = true;
    if (!apiServer->is_running() || !metaServer->is_running()) {
        err = "the servers did not start";
        stop();
        return false;
    }
    return true;
}

void Emulator::stop() {
    Impl& m = *impl_;
    if (m.apiServer) {
        m.apiServer->stop();
    }
    if (m.metaServer) {
        m.metaServer->stop();
    }
    if (m.apiThread.joinable()) {
        m.apiThread.join();
    }
    if (m.metaThread.joinable()) {
        m.metaThread.join();
    }
    if (m.running) {
        std::lock_guard<std::mutex> lock(m.mu);
        m.advance(util::nowMs());
        m.changed = true;
        m.saveIfChangedLocked();
    }
    m.running = false;
}

int Emulator::apiPort() const {
    return impl_->apiPort;
}
int Emulator::metadataPort() const {
    return impl_->metaPort;
}
std::string Emulator::apiHost() const {
    return impl_->host + ":" + std::to_string(impl_->apiPort);
}
std::string Emulator::metadataHost() const {
    return impl_->host + ":" + std::to_string(impl_->metaPort);
}
std::string Emulator::caFile() const {
    return impl_->caFile;
}
std::string Emulator::tokenUrl() const {
    return "https://" + apiHost() + "/token";
}
std::string Emulator::selfLinkBase() const {
    return impl_->base;
}
std::string Emulator::workDir() const {
    return impl_->workDir;
}

std::vector<Emulator::ServiceAccountKeys> Emulator::serviceAccounts() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->accountsLocked();
}

std::vector<JournalEntry> Emulator::journal() const {
    std::lock_guard<std::mutex> lock(impl_->journalMu);
    return impl_->journalEntries;
}

void Emulator::clearJournal() {
    std::lock_guard<std::mutex> lock(impl_->journalMu);
    impl_->journalEntries.clear();
}

void Emulator::injectFault(const FaultSpec& fault) {
    impl_->addFault(fault);
}
void Emulator::clearFaults() {
    impl_->clearAllFaults();
}
void Emulator::failOperation(const OperationFault& fault) {
    impl_->addOperationFault(fault);
}
void Emulator::failGuestFlush(const std::string& project, const std::string& diskName) {
    impl_->addGuestFlushFailure(project, diskName);
}
void Emulator::expireAllTokens() {
    impl_->expireTokens();
}
void Emulator::setLatency(const std::string& kind, double seconds) {
    impl_->setLatencyValue(kind, seconds);
}
void Emulator::setTimeScale(double scale) {
    impl_->setScale(scale);
}
void Emulator::setLateDevices(int listCalls) {
    impl_->setLate(listCalls);
}
long Emulator::connectionsAccepted() const {
    return impl_->connections.load();
}
std::string Emulator::resourceJson(const std::string& ref) const {
    return impl_->resourceAt(ref);
}

bool Emulator::seed(const std::string& scenarioJson, std::string* error) {
    std::string dummy;
    return impl_->seedText(scenarioJson, error != nullptr ? error : &dummy);
}

std::string Emulator::stateJson() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->worldToJson().dump();
}

std::vector<std::string> Emulator::scsiDevices() {
    return impl_->scsiList();
}

bool Emulator::scsiInquiry(const std::string& device, bool evpd, int page, int alloc,
                           std::vector<unsigned char>* data, std::string* error) {
    std::string dummy;
    int status = 0;
    return impl_->scsiInquire(device, evpd, page, alloc, data, error != nullptr ? error : &dummy,
                              &status);
}

void Emulator::scsiRescan() {
    impl_->scsiRescanAll();
}

bool Emulator::nvmeIdentify(const std::string& device, int cns, std::vector<unsigned char>* data,
                            std::string* error) {
    std::string dummy;
    int status = 0;
    return impl_->nvmeIdentify(device, cns, data, error != nullptr ? error : &dummy, &status);
}

}  // namespace gce
