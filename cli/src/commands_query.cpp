// Commands that read the catalog or ask the plug-in without changing
// anything: check, list, show, jobs, log, version.
#include <signal.h>

#include <cerrno>
#include <iostream>

#include "commands.h"
#include "host_record.h"
#include "output.h"

namespace bxhost {

namespace {

// A job that says "running" but whose process is gone was interrupted.
std::string jobState(const JobRow& job) {
    if (job.state == "running" && job.pid > 0 && ::kill(static_cast<pid_t>(job.pid), 0) != 0 &&
        errno == ESRCH) {
        return "interrupted";
    }
    return job.state;
}

std::vector<SnapshotView> views(Session& session, const std::vector<SnapRow>& rows) {
    std::vector<SnapshotView> out;
    for (const auto& r : rows) {
        out.push_back(describeSnapshot(r, session.catalog().metadata(r.num)));
    }
    return out;
}

}  // namespace

int cmdCheck(Session& session, const std::vector<std::string>& devices) {
    auto results = runCheck(session, devices);
    bool all = true;
    nlohmann::json out = nlohmann::json::array();
    Table t({"DEVICE", "GOOGLE PERSISTENT DISK"});
    for (const auto& r : results) {
        all = all && r.supported;
        out.push_back({{"device", r.device}, {"supported", r.supported}});
        t.add({r.device, r.supported ? "yes" : "no"});
    }
    if (session.options().json) {
        std::cout << jsonText(out) << "\n";
    } else {
        std::cout << t.render();
    }
    if (!all) {
        std::fprintf(stderr,
                     "error: not every device is a Google persistent disk (the plug-in's debug log "
                     "says why: [Log] File in the settings file)\n");
        return kExitFailed;
    }
    return kExitOk;
}

int cmdList(Session& session, int64_t jobId, bool all) {
    SnapFilter filter;
    filter.jobId = jobId;
    filter.includeGone = all || jobId > 0;
    auto rows = views(session, session.catalog().snapshots(filter));
    if (session.options().json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& v : rows) {
            out.push_back(snapshotJson(v));
        }
        std::cout << jsonText(out) << "\n";
        return kExitOk;
    }
    if (rows.empty()) {
        std::cout << (all ? "the catalog holds no snapshots\n"
                          : "no snapshots (deleted ones are shown with --all)\n");
        return kExitOk;
    }
    std::cout << snapshotTable(rows).render();
    return kExitOk;
}

int cmdShow(Session& session, const std::string& selector) {
    std::vector<SnapRow> rows;
    std::string error;
    if (!selectSnapshots(session, {selector}, 0, &rows, &error)) {
        return printError(error);
    }
    SnapshotView v = describeSnapshot(rows[0], session.catalog().metadata(rows[0].num));
    nlohmann::json j = snapshotJson(v);
    j["flags"] = v.row.flags;
    j["cloneNumber"] = v.row.cloneNumber;
    j["sourceInfo"] = v.row.sourceInfo;
    nlohmann::json meta = nlohmann::json::object();
    for (const auto& m : v.metadata) {
        meta[std::to_string(m.first)] = {{"value", m.second.value},
                                         {"transient", m.second.transient}};
    }
    j["metadata"] = meta;
    for (const char* kind : {"restore", "clone"}) {
        nlohmann::json opts = nlohmann::json::object();
        for (const auto& o : session.catalog().snapOptions(v.row.num, kind)) {
            opts[o.key] = o.secret ? "(encrypted)" : o.value;
        }
        if (!opts.empty()) {
            j[std::string(kind) + "Options"] = opts;
        }
    }
    if (session.options().json) {
        std::cout << jsonText(j) << "\n";
        return kExitOk;
    }
    Table t({"FIELD", "VALUE"});
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (it.key() == "metadata") {
            for (const auto& m : v.metadata) {
                t.add({"metadata " + std::to_string(m.first) +
                           (m.second.transient ? " (transient)" : ""),
                       m.second.value});
            }
            continue;
        }
        t.add({it.key(), it->is_string()
                             ? it->get<std::string>()
                             : it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    }
    std::cout << t.render();
    return kExitOk;
}

int cmdJobs(Session& session, int limit) {
    auto jobs = session.catalog().jobs(limit);
    if (session.options().json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& job : jobs) {
            out.push_back({{"job", job.id},
                           {"kind", job.kind},
                           {"state", jobState(job)},
                           {"started", job.started},
                           {"ended", job.ended},
                           {"hostError", job.errorCode},
                           {"error", job.errorText}});
        }
        std::cout << jsonText(out) << "\n";
        return kExitOk;
    }
    Table t({"JOB", "KIND", "STATE", "STARTED", "ENDED", "SNAPS", "ERROR"});
    for (const auto& job : jobs) {
        SnapFilter filter;
        filter.jobId = job.id;
        size_t snaps = job.kind == "backup" ? session.catalog().snapshots(filter).size() : 0;
        std::string error =
            job.errorCode ? std::to_string(job.errorCode) + ": " + job.errorText : job.errorText;
        if (error.size() > 100) {
            error = error.substr(0, 97) + "...";
        }
        t.add({std::to_string(job.id), job.kind, jobState(job), job.started,
               job.ended.empty() ? "-" : job.ended, snaps ? std::to_string(snaps) : "-", error});
    }
    if (t.empty()) {
        std::cout << "no jobs yet\n";
        return kExitOk;
    }
    std::cout << t.render();
    return kExitOk;
}

int cmdLog(Session& session, int64_t jobId, bool brief) {
    auto job = session.catalog().job(jobId);
    if (!job) {
        return printError("no job " + std::to_string(jobId) + " in the catalog");
    }
    auto lines = session.catalog().log(jobId);
    if (session.options().json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& l : lines) {
            if (!brief || l.level != 0) {
                out.push_back({{"time", l.time},
                               {"level", l.level},
                               {"snap", l.snapNum},
                               {"prefix", l.prefix},
                               {"text", l.text}});
            }
        }
        std::cout << jsonText(out) << "\n";
        return kExitOk;
    }
    // Log lines carry whole GCP answers.
    std::cout << "job " << job->id << " (" << terminalText(job->kind) << ", "
              << terminalText(jobState(*job)) << ", started " << terminalText(job->started)
              << ")\n";
    for (const auto& l : lines) {
        if (!brief || l.level != 0) {
            std::cout << terminalText(l.time) << " <" << l.level << "> "
                      << terminalText(l.prefix + l.text) << "\n";
        }
    }
    if (job->errorCode != 0 || !job->errorText.empty()) {
        std::cout << "result: host error " << job->errorCode << ": " << terminalText(job->errorText)
                  << "\n";
    }
    auto results = session.catalog().jobOptions(jobId, "result");
    for (const auto& r : results) {
        std::cout << "property " << terminalText(r.key) << " = " << terminalText(r.value) << "\n";
    }
    return kExitOk;
}

int cmdVersion(Session& session) {
    std::string error;
    bool loaded = session.loadPlugin(&error);
    if (session.options().json) {
        nlohmann::json j = {{"host", BXSO_HOST_VERSION}};
        if (loaded) {
            j["plugin"] = {{"path", session.plugin().path()},
                           {"version", session.plugin().versionText()}};
        }
        std::cout << jsonText(j) << "\n";
    } else {
        std::cout << "bxso-host " << BXSO_HOST_VERSION << "\n";
        if (loaded) {
            std::cout << "plug-in " << terminalText(session.plugin().path()) << " version "
                      << terminalText(session.plugin().versionText()) << "\n";
        }
    }
    return loaded ? kExitOk : printError(error);
}

}  // namespace bxhost
