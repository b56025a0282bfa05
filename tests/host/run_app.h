// Runs bxso-host's command line in this process with its output captured;
// the settings variable the host sets is restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app.h"
#include "settings_view.h"

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

}  // namespace bxhosttest
