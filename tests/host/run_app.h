// Runs bxso-host's command line in this process with its output captured;
// the settings variable the host sets is restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app.h"
#include "catalog.h"
#include "secrets.h"
#include "settings_view.h"
#include "support/files.h"

namespace bxhosttest {

struct AppRun {
    int rc = -1;
    std::string out;
    std::string err;
};

inline AppRun runHost(std::vector<std::string> args) {
    const char* prev = std::getenv(bxhost::kSettingsEnv);
    std::string previous = prev ? prev : "";
    bool hadPrevious = prev != nullptr;
    args.insert(args.begin(), "bxso-host");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    AppRun run;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.rc = bxhost::runApp(static_cast<int>(args.size()), argv.data());
    std::cout.flush();
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    if (hadPrevious) {
        ::setenv(bxhost::kSettingsEnv, previous.c_str(), 1);
    } else {
        ::unsetenv(bxhost::kSettingsEnv);
    }
    return run;
}

// bxso-host with the catalog and host key of dir, and its settings.ini unless
// another settings file is given.
inline AppRun runHostIn(const bxtest::TempDir& dir, const std::vector<std::string>& args,
                        const std::string& settings = "") {
    std::vector<std::string> all = {
        "--catalog",  dir.file("catalog.db"),
        "--key-file", dir.file("host.key"),
        "--settings", settings.empty() ? dir.file("settings.ini") : settings};
    all.insert(all.end(), args.begin(), args.end());
    return runHost(all);
}

// An array as the catalog of dir holds it.
inline std::optional<bxhost::ArrayRow> arrayIn(const bxtest::TempDir& dir,
                                               const std::string& name) {
    bxhost::Catalog catalog;
    EXPECT_TRUE(catalog.open(dir.file("catalog.db"))) << catalog.error();
    return catalog.arrayByName(name);
}

// A stored secret in clear, decrypted with the host key of dir ("" when it
// does not decrypt).
inline std::string decryptIn(const bxtest::TempDir& dir, const std::string& sealed) {
    bxhost::HostKey key;
    std::string plain;
    EXPECT_TRUE(key.load(dir.file("host.key"), false) && key.decrypt(sealed, &plain))
        << key.error();
    return plain;
}

}  // namespace bxhosttest
