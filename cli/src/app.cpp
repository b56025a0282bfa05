// The command line of bxso-host: global options, one subcommand per job, and
// the dispatch to the commands.
#include "app.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"
#include "demo/demo.h"
#include "doctor.h"
#include "output.h"
#include "secrets.h"

namespace bxhost {

namespace {

const char* const kDescription =
    "bxso-host: a command-line backup host for the GCP persistent-disk snapshot plug-in\n"
    "(libbxso_gcp.so). It loads the plug-in, keeps every snapshot, array and job in a SQLite\n"
    "catalog, and drives backups, mounts, reverts and deletions through the plug-in.\n\n"
    "Files: catalog (--catalog, BXSO_CATALOG, default /var/lib/bxso/catalog.db); host key that\n"
    "encrypts stored secrets (--key-file, BXSO_HOST_KEY, default /etc/bxso/host.key, mode 0600);\n"
    "plug-in settings (--settings, BXSO_SETTINGS, default /etc/bxso/bxso.ini).\n"
    "Exit codes: 0 success, 1 the operation failed, 2 bad arguments or set-up.\n"
    "Try 'bxso-host demo' for the whole cycle against a local Compute Engine emulator.";

bool parseKeyValues(const std::vector<std::string>& items, std::map<std::string, std::string>* out,
                    std::string* error) {
    for (const auto& item : items) {
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "[" + item + "] is not KEY=VALUE";
            return false;
        }
        (*out)[item.substr(0, eq)] = item.substr(eq + 1);
    }
    return true;
}

// A password file's line end is not part of the password; a PEM text keeps it.
bool readWholeFile(const std::string& path, const char* what, std::string* out,
                   std::string* error) {
    if (!readSecretFile(path, what, out, error)) {
        return false;
    }
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r') &&
           out->find("-----BEGIN") == std::string::npos) {
        out->pop_back();
    }
    return true;
}

struct MountArgs {
    std::string destProject, destZone, destRegion, destUser, destKeyPem, destP12, destPasswordFile;
    bool inPlace = false;
    std::string replicaZones, encryptionKey;
};

bool fillMount(const MountArgs& m, SnapRequest* request, std::string* error) {
    auto& r = request->restoreOptions;
    auto put = [&r](const char* key, const std::string& value) {
        if (!value.empty()) {
            r[key] = value;
        }
    };
    put("destination-project-id", m.destProject);
    put("destination-zone", m.destZone);
    put("destination-region", m.destRegion);
    put("destination-user", m.destUser);
    if (!m.destKeyPem.empty() && !m.destP12.empty()) {
        *error = "give either --dest-key-pem or --dest-p12";
        return false;
    }
    if (!m.destKeyPem.empty()) {
        std::string pem;
        if (!readWholeFile(m.destKeyPem, "key file", &pem, error)) {
            return false;
        }
        r[kRestorePasswordKey] = pem;
        r[kRestoreP12Key] = "";
    }
    if (!m.destP12.empty()) {
        r[kRestoreP12Key] = m.destP12;
        std::string password;
        if (!m.destPasswordFile.empty() &&
            !readWholeFile(m.destPasswordFile, "password file", &password, error)) {
            return false;
        }
        r[kRestorePasswordKey] = password;
    }
    if (m.inPlace) {
        r["in-place-restore"] = "true";
    }
    if (!m.replicaZones.empty()) {
        request->cloneOptions["destination-replica-zones"] = m.replicaZones;
    }
    if (!m.encryptionKey.empty()) {
        request->cloneOptions["destination-encryption-key"] = m.encryptionKey;
    }
    return true;
}

// Opens what a command needs; prints the reason and gives the exit code when
// something is missing.
int prepare(Session& session, bool plugin) {
    std::string error;
    if (!session.openCatalog(&error)) {
        return printError(error);
    }
    if (plugin && !session.loadPlugin(&error)) {
        return printError(error);
    }
    return kExitOk;
}

void addSelection(CLI::App* cmd, std::vector<std::string>* selectors, int64_t* job,
                  const char* what) {
    cmd->add_option(
        "snapshots", *selectors,
        std::string("Snapshots to ") + what + ": catalog numbers or names (see 'list')");
    cmd->add_option("--job", *job, std::string("All snapshots of this backup job"));
}

}  // namespace

int runApp(int argc, char** argv) {
    CLI::App app{kDescription, "bxso-host"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_all_flag("--help-all", "Help for every command");
    app.footer(
        "Examples:\n"
        "  bxso-host doctor                         is this VM ready? (settings, account, scopes,\n"
        "                                           permissions, devices, arrays)\n"
        "  bxso-host array add GCP-Default-IAM      the account local disks are reached through\n"
        "  bxso-host array add sa --key-json k.json an account of its own, for disks of other VMs\n"
        "  bxso-host check /dev/sdb /dev/sdc        are these Google persistent disks?\n"
        "  bxso-host backup /dev/sdb /dev/sdc       snapshot them (one job)\n"
        "  bxso-host list                           snapshots in the catalog\n"
        "  bxso-host mount 3 && bxso-host unmount 3 clone snapshot 3 to a disk on this VM, and "
        "back\n"
        "  bxso-host delete --job 1                 delete every snapshot of backup job 1\n"
        "  bxso-host log 1 --brief                  what the plug-in reported for job 1\n"
        "Details: docs/cli.md. Each command has its own --help.");

    GlobalOptions global;
    // Given twice, the last one wins, as in most tools (a wrapper's default
    // can then be overridden on the command line).
    for (auto* option :
         {app.add_option("--catalog", global.catalogPath, "Snapshot catalog (SQLite file)"),
          app.add_option("--key-file", global.keyPath,
                         "Host key file that encrypts stored secrets"),
          app.add_option("--plugin", global.pluginPath, "Path of libbxso_gcp.so"),
          app.add_option("--settings", global.settingsPath, "Plug-in settings file (INI)")}) {
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    app.add_flag("--json", global.json, "Results as JSON on standard output");
    app.add_flag("-v,--verbose", global.verbose, "Echo the job log while a job runs");
    app.add_flag("-q,--quiet", global.quiet, "No progress lines");

    std::vector<std::string> devices;
    auto* check = app.add_subcommand(
        "check", "Ask the plug-in whether devices are Google persistent disks (SCSI INQUIRY)");
    check->add_option("devices", devices, "Block devices, e.g. /dev/sdb")->required();

    BackupRequest backup;
    std::vector<std::string> properties;
    auto* backupCmd = app.add_subcommand(
        "backup",
        "Snapshot disks: prepare, snap and post-snap as one job, with progress per disk.\n"
        "Local devices (/dev/sdX of this VM) or, with --hpx, disks of another VM named by\n"
        "project, zone and disk (authenticated with the array's service-account key).");
    backupCmd->add_option("devices", backup.devices, "Local block devices, e.g. /dev/sdb");
    backupCmd->add_option("--hpx", backup.hpxDisks,
                          "Disk of another VM: PROJECT/ZONE/DISK or PROJECT/REGION/DISK");
    backupCmd->add_option("--array", backup.array, "Array (account) for --hpx disks");
    backupCmd->add_option("--source-instance", backup.sourceInstance,
                          "VM that owns the --hpx disks: PROJECT|INSTANCE-ID");
    backupCmd->add_flag("--guest-flush", backup.guestFlush,
                        "Application-consistent snapshots (guest flush; --hpx disks only)");
    backupCmd->add_option("--property", properties, "Further operation property KEY=VALUE");
    backupCmd->add_option("--resume", backup.resumeJob,
                          "Finish an interrupted or failed backup job from the catalog");

    int64_t listJob = 0;
    bool listAll = false;
    auto* list = app.add_subcommand("list", "List the snapshots in the catalog");
    list->add_option("--job", listJob, "Only the snapshots of this backup job");
    list->add_flag("--all", listAll, "Include deleted snapshots");

    std::string showWhat;
    auto* show = app.add_subcommand("show", "Everything the catalog holds on one snapshot");
    show->add_option("snapshot", showWhat, "Catalog number or name")->required();

    SnapRequest mount;
    mount.op = SnapOperation::Mount;
    MountArgs mountArgs;
    auto* mountCmd = app.add_subcommand(
        "mount", "Map snapshots: create disks from them and attach them to this VM");
    addSelection(mountCmd, &mount.selectors, &mount.fromJob, "mount");
    mountCmd->add_flag("--own-clone-name", mount.ownCloneName,
                       "Give each clone a generated name instead of the snapshot's");
    mountCmd->add_option("--dest-project", mountArgs.destProject, "Restore into this project");
    mountCmd->add_option("--dest-zone", mountArgs.destZone, "Restore into this zone");
    mountCmd->add_option("--dest-region", mountArgs.destRegion, "Restore into this region");
    mountCmd->add_option("--dest-user", mountArgs.destUser, "Destination service account");
    mountCmd->add_option("--dest-key-pem", mountArgs.destKeyPem,
                         "Destination service-account key (PEM file; stored encrypted)");
    mountCmd->add_option(
        "--dest-p12", mountArgs.destP12,
        "Destination PKCS#12 key file name (in <dBASEHOME>/certificates/external)");
    mountCmd->add_option("--dest-password-file", mountArgs.destPasswordFile,
                         "File holding the PKCS#12 password");
    mountCmd->add_flag("--in-place", mountArgs.inPlace, "Restore in place (clone = disk name)");
    mountCmd->add_option("--replica-zones", mountArgs.replicaZones,
                         "Regional clone in these two zones: ZONE1,ZONE2");
    mountCmd->add_option("--encryption-key", mountArgs.encryptionKey,
                         "Destination encryption key (KMS key name)");

    SnapRequest unmount;
    unmount.op = SnapOperation::Unmount;
    auto* unmountCmd = app.add_subcommand(
        "unmount", "Unmap snapshots: detach and delete the disks a mount created");
    addSelection(unmountCmd, &unmount.selectors, &unmount.fromJob, "unmount");

    SnapRequest del;
    del.op = SnapOperation::Delete;
    auto* deleteCmd = app.add_subcommand("delete", "Delete snapshots in GCP");
    addSelection(deleteCmd, &del.selectors, &del.fromJob, "delete");

    SnapRequest recon;
    recon.op = SnapOperation::Reconcile;
    auto* reconCmd = app.add_subcommand(
        "reconcile",
        "Mark snapshots that no longer exist in GCP as externally deleted (all by default)");
    addSelection(reconCmd, &recon.selectors, &recon.fromJob, "check");

    SnapRequest revert;
    revert.op = SnapOperation::Revert;
    auto* revertCmd = app.add_subcommand(
        "revert", "Replace source disks by disks made from their snapshots (destructive)");
    addSelection(revertCmd, &revert.selectors, &revert.fromJob, "revert to");

    int jobsLimit = 50;
    auto* jobsCmd = app.add_subcommand("jobs", "List recent jobs");
    jobsCmd->add_option("--limit", jobsLimit, "How many (0: all)");

    int64_t logJob = 0;
    bool logBrief = false;
    auto* logCmd = app.add_subcommand("log", "Show a job's log (the plug-in's job-log lines)");
    logCmd->add_option("job", logJob, "Job number (see 'jobs')")->required();
    logCmd->add_flag("--brief", logBrief,
                     "Only the start, end and failure lines, without the REST exchanges");

    ArrayRequest arrayReq;
    auto* arrayCmd = app.add_subcommand(
        "array", "Manage arrays: the GCP accounts, their configuration values and keys");
    arrayCmd->require_subcommand(1);
    arrayCmd->footer(arrayConfigHelp());
    auto addCredentialOptions = [&arrayReq](CLI::App* cmd) {
        cmd->add_option("--user", arrayReq.user, "Service account (e-mail)");
        cmd->add_option("--control-host", arrayReq.controlHost, "Control host name")
            ->each([&arrayReq](const std::string&) { arrayReq.controlHostGiven = true; });
        cmd->add_option("--password-file", arrayReq.passwordFile,
                        "File holding the password ('-': standard input); stored encrypted");
        cmd->add_flag("--password-stdin", arrayReq.passwordStdin, "Read the password from stdin");
        cmd->add_option("--key-json", arrayReq.keyJsonFile,
                        "Service-account JSON key file as Google issues it: its client_email "
                        "becomes the user, its private_key is stored encrypted");
        cmd->add_option("--key-pem", arrayReq.keyPemFile,
                        "Service-account private key, PEM file; stored encrypted");
        cmd->add_option("--key-p12", arrayReq.keyP12Name,
                        "Or a PKCS#12 key file name in <dBASEHOME>/certificates/external/");
        cmd->add_option("--config", arrayReq.settings, "Configuration NAME=VALUE (see below)");
    };
    auto* arrayAdd = arrayCmd->add_subcommand("add", "Add an array");
    arrayAdd->add_option("name", arrayReq.name, "Array name (local disks use GCP-Default-IAM)")
        ->required();
    addCredentialOptions(arrayAdd);
    arrayAdd->footer(arrayConfigHelp());
    auto* arraySet = arrayCmd->add_subcommand("set", "Change an array");
    arraySet->add_option("name", arrayReq.name, "Array name")->required();
    addCredentialOptions(arraySet);
    arraySet->add_option("--unset", arrayReq.unset, "Remove a configuration value");
    arraySet->add_flag("--clear-password", arrayReq.clearPassword, "Remove the password");
    arraySet->add_flag("--clear-key", arrayReq.clearKey, "Remove the service-account key");
    arraySet->footer(arrayConfigHelp());
    auto* arrayList = arrayCmd->add_subcommand("list", "List arrays (secrets are never shown)");
    auto* arrayRemove = arrayCmd->add_subcommand("remove", "Remove an array");
    arrayRemove->add_option("name", arrayReq.name, "Array name")->required();
    arrayRemove->add_flag("--force", arrayReq.force, "Even when snapshots still use it");

    DemoOptions demo;
    auto* demoCmd = app.add_subcommand(
        "demo",
        "Run the whole cycle against a Compute Engine emulator: backup (plain and with guest\n"
        "flush), reconcile, mount and unmount, revert, delete; checks every step against the\n"
        "emulator's resources and exits 0 only if each did what it should.");
    demoCmd->add_option("--work-dir", demo.workDir,
                        "Where the settings, catalog, key and logs go (default: a new temp dir)");
    demoCmd->add_option("--emulator", demo.emulatorUrl,
                        "Use a running gce-emulator: https://HOST:PORT of its API port");
    demoCmd->add_option("--emulator-ca", demo.emulatorCa, "CA file of that emulator");
    demoCmd->add_option("--time-scale", demo.timeScale,
                        "Real seconds per emulated second (in-process emulator)");
    demoCmd->add_flag("--nvme", demo.nvme,
                      "The data mover is of an NVMe machine series (c3-standard-8): its disks "
                      "are NVMe namespaces (with --emulator, start gce-emulator with "
                      "--machine-type c3-standard-8)");

    auto* version = app.add_subcommand("version", "Versions of this host and of the plug-in");

    auto* doctorCmd = app.add_subcommand(
        "doctor",
        "Pre-flight check of this VM, one line per item with its verdict and fix: the\n"
        "settings, the plug-in, the metadata server (project, zone, instance, service\n"
        "account, scopes), a token, the Compute endpoint (TLS, a read of this instance), the\n"
        "permissions the operations need (testIamPermissions and harmless reads), the device\n"
        "backend and each array's account and key. Changes nothing; exit 1 when a check\n"
        "fails.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help is a success; every other parse error is a usage error (2).
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    Session session(global);
    int rc = kExitOk;
    std::string error;
    if (*demoCmd) {
        demo.global = global;
        return runDemo(demo);
    }
    // A settings file with problems is one of the things doctor reports.
    if (*doctorCmd) {
        return cmdDoctor(session);
    }
    // The plug-in goes on without the lines it cannot read and logs them; a
    // host about to drive backups with it stops before, where the operator
    // sees why.
    if (!session.settings().problems().empty()) {
        for (const auto& problem : session.settings().problems()) {
            printError(problem);
        }
        return printError(
            "bxso-host does not start with a settings file it cannot read completely; mend it "
            "or choose another one with --settings or BXSO_SETTINGS");
    }
    if (*version) {
        return cmdVersion(session);
    }
    bool needsPlugin =
        *check || *backupCmd || *mountCmd || *unmountCmd || *deleteCmd || *reconCmd || *revertCmd;
    if ((rc = prepare(session, needsPlugin)) != kExitOk) {
        return rc;
    }
    if (*check) {
        return cmdCheck(session, devices);
    }
    if (*backupCmd) {
        if (!parseKeyValues(properties, &backup.properties, &error)) {
            return printError(error);
        }
        return printReport(runBackup(session, backup), global.json);
    }
    if (*list) {
        return cmdList(session, listJob, listAll);
    }
    if (*show) {
        return cmdShow(session, showWhat);
    }
    if (*mountCmd) {
        if (!fillMount(mountArgs, &mount, &error)) {
            return printError(error);
        }
        return printReport(runSnapOperation(session, mount), global.json);
    }
    for (auto pair : {std::make_pair(unmountCmd, &unmount), std::make_pair(deleteCmd, &del),
                      std::make_pair(reconCmd, &recon), std::make_pair(revertCmd, &revert)}) {
        if (*pair.first) {
            return printReport(runSnapOperation(session, *pair.second), global.json);
        }
    }
    if (*jobsCmd) {
        return cmdJobs(session, jobsLimit);
    }
    if (*logCmd) {
        return cmdLog(session, logJob, logBrief);
    }
    if (*arrayAdd) {
        return cmdArrayAdd(session, arrayReq);
    }
    if (*arraySet) {
        return cmdArraySet(session, arrayReq);
    }
    if (*arrayList) {
        return cmdArrayList(session);
    }
    if (*arrayRemove) {
        return cmdArrayRemove(session, arrayReq);
    }
    return printError("no command");
}

}  // namespace bxhost
