// Controls of the host runtime that are not part of the host interfaces: where
// settings come from, where debug lines go. Tests and tools use these to point
// the runtime somewhere else without touching the plug-in.
#pragma once

#include <functional>
#include <string>

namespace bxrt {

// Environment variable naming the settings file, and the path used without it.
constexpr const char* kSettingsEnv = "BXSO_SETTINGS";
constexpr const char* kDefaultSettingsPath = "/etc/bxso/bxso.ini";

std::string settingsPath();

// Settings lookups shared by the runtime's own services. Each returns false
// when the setting is absent.
bool settingString(const std::string& section, const std::string& name, std::string* value);
bool settingNumber(const std::string& section, const std::string& name, long* value);
bool settingBool(const std::string& section, const std::string& name, bool* value);

// Forget cached settings so the next lookup reads the file again.
void reloadSettings();

// Debug log destination. A sink receives every line that passes the level
// filter, already formatted without the time stamp; replacing the sink (or
// passing nullptr to restore the file/stderr sink) is safe at any time.
using DebugSink = std::function<void(int level, long long jobId, const std::string& text)>;
void setDebugSink(DebugSink sink);
// Overrides the level from the settings file; a negative value restores it.
void setDebugLevelOverride(int level);

// Every pause of the plug-in (WNSLEEP) goes through the sleeper: tests install
// one that records the pauses and returns at once; nullptr restores real
// sleeping. Safe at any time; the sleeper may be called from several threads.
using Sleeper = std::function<void(long milliseconds)>;
void setSleeper(Sleeper sleeper);

}  // namespace bxrt
