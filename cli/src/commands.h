// The subcommands behind the command line; each returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "jobs.h"
#include "session.h"

namespace bxhost {

struct ArrayRequest {
    std::string name;
    std::string user;
    std::string controlHost;
    bool controlHostGiven = false;
    std::string passwordFile;  // "-" or --password-stdin: standard input
    bool passwordStdin = false;
    bool clearPassword = false;
    std::string keyPemFile;   // service-account key as PEM: stored encrypted
    std::string keyP12Name;   // or a PKCS#12 file name under <dBASEHOME>/certificates/external/
    std::string keyJsonFile;  // or Google's JSON key: its account and key (stored encrypted)
    bool clearKey = false;
    std::vector<std::string> settings;  // KEY=VALUE (aliases allowed)
    std::vector<std::string> unset;     // KEY (aliases allowed)
    bool force = false;
};

int cmdArrayAdd(Session& session, const ArrayRequest& request);
int cmdArraySet(Session& session, const ArrayRequest& request);
int cmdArrayList(Session& session);
int cmdArrayRemove(Session& session, const ArrayRequest& request);
// The per-array configuration keys, with their aliases, for --help.
std::string arrayConfigHelp();
// Full configuration key for an alias or a key; empty when unknown.
std::string configKey(const std::string& nameOrAlias);

int cmdCheck(Session& session, const std::vector<std::string>& devices);
int cmdList(Session& session, int64_t jobId, bool all);
int cmdJobs(Session& session, int limit);
// brief: only the start, end and failure lines (without the REST detail).
int cmdLog(Session& session, int64_t jobId, bool brief);
int cmdShow(Session& session, const std::string& selector);
int cmdVersion(Session& session);

}  // namespace bxhost
