// One run of bxso-host: the catalog, the host key (loaded when a secret is
// first needed), the plug-in, the job in progress and what the records of the
// current call share (operation properties, clone options, progress output).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalog.h"
#include "plugin.h"
#include "redact.h"
#include "secrets.h"
#include "settings_view.h"

namespace bxhost {

class HostRecord;
class ProgressBoard;

struct GlobalOptions {
    std::string catalogPath;
    std::string keyPath;
    std::string pluginPath;
    std::string settingsPath;  // empty: BXSO_SETTINGS, else /etc/bxso/bxso.ini
    bool json = false;
    bool verbose = false;  // echo the host job log while a job runs
    bool quiet = false;    // no progress lines
};

std::string defaultCatalogPath();
std::string defaultKeyPath();

// What the plug-in's last call left on the first record, and how it ended.
struct CallOutcome {
    int rc = 0;
    int errorCode = 0;
    std::string errorText;
    bool notAvailable = false;  // the entry point is not part of this plug-in build
    std::string hostFailure;    // the catalog could not keep something the plug-in wrote
    bool ok() const { return rc == 0 && hostFailure.empty(); }
};

// Properties handed to the plug-in during one call (clear text only where
// the plug-in expects clear text; everything else in the host's encrypted form).
struct CallOptions {
    bool haveOperationProperties = false;
    std::map<std::string, std::string> operationProperties;
    bool haveCloneOptions = false;
    std::map<std::string, std::string> cloneOptions;
};

class Session {
  public:
    explicit Session(GlobalOptions options);
    ~Session();

    const GlobalOptions& options() const { return options_; }
    bool openCatalog(std::string* error);
    bool loadPlugin(std::string* error);
    // create: make the key file when there is none (adding a secret).
    bool loadKey(bool create, std::string* error);

    Catalog& catalog() { return catalog_; }
    Plugin& plugin() { return plugin_; }
    HostKey& key() { return key_; }
    Redactor& redactor() { return redactor_; }
    SettingsView& settings() { return settings_; }

    int64_t jobId() const { return jobId_; }
    void setJob(int64_t id) { jobId_ = id; }
    CallOptions& callOptions() { return callOptions_; }

    // Clear text of a secret in the host's encrypted form; the secret is
    // remembered so that it is masked wherever the host writes text.
    bool decrypt(const std::string& encrypted, std::string* plain);
    std::string encrypt(const std::string& plain, std::string* error);

    // A configured value of an array (encrypted form for secrets).
    bool arrayConfig(int arrayNum, const std::string& key, std::string* value);
    void forgetArrayConfig();

    // Host job log: stored under the current job (masked) and echoed with
    // --verbose.
    void hostLog(int64_t snapNum, int level, const std::string& prefix, const std::string& text);
    // Progress: called by a record whenever the plug-in sets its status.
    std::function<void(const HostRecord&, int status)> onStatus;
    void notifyStatus(const HostRecord& record, int status);
    // Live per-disk progress of the job in progress, when it has one: a
    // job-log line about a snapshot shows that the plug-in works on it.
    ProgressBoard* board = nullptr;

    void noteHostFailure(const std::string& what);

    // Runs one entry point over the records: clears their errors first (the
    // plug-in keeps an error it finds on the first record), makes the call
    // and collects the outcome.
    CallOutcome invoke(RecordsFn fn, const std::vector<HostRecord*>& records);

    // Serialises terminal output of worker threads.
    std::mutex& outputMutex() { return outputMutex_; }

  private:
    GlobalOptions options_;
    Catalog catalog_;
    Plugin plugin_;
    HostKey key_;
    Redactor redactor_;
    SettingsView settings_;
    int64_t jobId_ = 0;
    CallOptions callOptions_;
    std::mutex configMutex_;
    std::map<int, std::map<std::string, std::string>> configCache_;
    std::mutex failureMutex_;
    std::string hostFailure_;
    std::mutex outputMutex_;
    std::mutex keyMutex_;
};

}  // namespace bxhost
