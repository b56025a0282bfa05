// Array management: the GCP accounts the plug-in works with, their
// per-array configuration values and their credentials. Passwords and PEM
// keys are read from files or standard input (never from the command line,
// where every user of the machine could read them) and stored encrypted.
#include <openssl/crypto.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include "commands.h"
#include "output.h"
#include "secrets.h"
#include "service_key.h"

namespace bxhost {

namespace {

constexpr const char* kKeyConfig = "SMCONFIG_P12_KEY_FILENAME_KEY";

struct ConfigKeyInfo {
    const char* alias;
    const char* key;
    long min;
    long max;
    const char* meaning;
};

const ConfigKeyInfo kConfigKeyInfos[] = {
    {"retry-count", "SMCONFIG_NAME_SNAP_OP_RETRY_COUNT", 1, 100000,
     "attempts when waiting for a GCP operation (default 10)"},
    {"retry-interval", "SMCONFIG_NAME_SNAP_OP_RETRY_INTERVAL_IN_SEC", 0, 3600,
     "seconds between those attempts (default 60)"},
    {"diagnostic-logging", "SMCONFIG_NAME_ENABLE_DIAGNOSTIC_LOGGING", 0, 1,
     "1: log REST requests and responses (default 1)"},
    {"safe-point", "SMCONFIG_CREATE_SAFE_POINT_SNAPSHOT_BEFORE_REVERT_KEY", 0, 1,
     "1: take a safe-point snapshot before a revert (default 1)"},
    {"threads", "SMCONFIG_SNAP_OP_THREAD_COUNT_KEY", 1, 64,
     "snapshots created or reverted in parallel (default 8)"},
};

const ConfigKeyInfo* keyInfoFor(const std::string& name) {
    for (const auto& s : kConfigKeyInfos) {
        if (name == s.alias || name == s.key) {
            return &s;
        }
    }
    return nullptr;
}

// The password is the first line of the file, or of standard input.
bool readSecret(const ArrayRequest& request, std::string* secret, std::string* error) {
    std::string text;
    if (request.passwordStdin || request.passwordFile == "-") {
        int ch = 0;
        while ((ch = std::cin.get()) != std::char_traits<char>::eof() && ch != '\n') {
            if (text.size() >= kMaxSecretFileBytes) {
                OPENSSL_cleanse(&text[0], text.size());
                *error = "the password on standard input is longer than " +
                         std::to_string(kMaxSecretFileBytes) + " bytes";
                return false;
            }
            text += static_cast<char>(ch);
        }
    } else if (!readSecretFile(request.passwordFile, "password file", &text, error)) {
        return false;
    }
    size_t end = text.find('\n');
    if (end != std::string::npos) {
        OPENSSL_cleanse(&text[end], text.size() - end);
        text.resize(end);
    }
    while (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    *secret = std::move(text);
    return true;
}

// KEY=VALUE settings, checked against the known keys' ranges.
bool parseSettings(const std::vector<std::string>& items, std::vector<ConfigRow>* rows,
                   std::string* error) {
    for (const auto& item : items) {
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "configuration [" + item + "] is not KEY=VALUE";
            return false;
        }
        std::string name = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        if (name == kKeyConfig) {
            *error =
                "set the service-account key with --key-json FILE, --key-pem FILE or --key-p12 "
                "NAME.p12";
            return false;
        }
        const ConfigKeyInfo* info = keyInfoFor(name);
        std::string key = info ? info->key : name;
        if (info) {
            char* end = nullptr;
            errno = 0;
            long v = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || v < info->min || v > info->max) {
                *error = "configuration " + std::string(info->alias) + " must be a number from " +
                         std::to_string(info->min) + " to " + std::to_string(info->max);
                return false;
            }
        }
        rows->push_back({key, value, false});
    }
    return true;
}

// Credentials and settings of a request, as catalog rows.
bool collect(Session& session, const ArrayRequest& request, ArrayRow* array,
             std::vector<ConfigRow>* config, std::string* error) {
    if (!request.user.empty()) {
        array->user = request.user;
    }
    if (request.controlHostGiven) {
        array->controlHost = request.controlHost;
    }
    if (request.clearPassword) {
        array->password.clear();
    }
    if (request.passwordStdin || !request.passwordFile.empty()) {
        std::string secret;
        if (!readSecret(request, &secret, error)) {
            return false;
        }
        array->password = secret.empty() ? "" : session.encrypt(secret, error);
        if (!secret.empty() && array->password.empty()) {
            return false;
        }
    }
    int keyForms =
        !request.keyPemFile.empty() + !request.keyP12Name.empty() + !request.keyJsonFile.empty();
    if (keyForms > 1) {
        *error = "give one of --key-json, --key-pem and --key-p12";
        return false;
    }
    if (!request.keyPemFile.empty()) {
        SecretText pem;
        if (!readSecretFile(request.keyPemFile, "key file", &pem.text(), error)) {
            return false;
        }
        std::string why;
        if (!checkRsaPrivateKeyPem(pem.text(), &why)) {
            *error = "[" + request.keyPemFile + "] " + why;
            return false;
        }
        std::string sealed = session.encrypt(pem.text(), error);
        if (sealed.empty()) {
            return false;
        }
        config->push_back({kKeyConfig, sealed, true});
    }
    if (!request.keyJsonFile.empty()) {
        // Google's key file carries the account with the key: the array's
        // user is the key's, and a different --user is a mistake worth stopping.
        SecretText text;
        if (!readSecretFile(request.keyJsonFile, "JSON key file", &text.text(), error)) {
            return false;
        }
        ServiceAccountJson key;
        if (!parseServiceAccountJson(text.text(), request.keyJsonFile, &key, error)) {
            return false;
        }
        if (!request.user.empty() && request.user != key.clientEmail) {
            *error = "--user [" + request.user + "] is not the account of [" + request.keyJsonFile +
                     "] (" + key.clientEmail + "); leave --user out, the key names its account";
            return false;
        }
        std::string sealed = session.encrypt(key.privateKeyPem, error);
        if (sealed.empty()) {
            return false;
        }
        array->user = key.clientEmail;
        config->push_back({kKeyConfig, sealed, true});
    }
    if (!request.keyP12Name.empty()) {
        std::string lower = request.keyP12Name;
        for (auto& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (lower.size() < 5 || lower.compare(lower.size() - 4, 4, ".p12") != 0 ||
            request.keyP12Name.find('/') != std::string::npos) {
            *error =
                "--key-p12 takes a file name ending in .p12 (no directory): the file lives in "
                "<dBASEHOME>/certificates/external/";
            return false;
        }
        config->push_back({kKeyConfig, request.keyP12Name, false});
    }
    return parseSettings(request.settings, config, error);
}

std::string keyDescription(const std::vector<ConfigRow>& config) {
    for (const auto& c : config) {
        if (c.key == kKeyConfig) {
            return c.secret ? "PEM (encrypted)" : "p12: " + c.value;
        }
    }
    return "-";
}

}  // namespace

std::string configKey(const std::string& nameOrAlias) {
    const ConfigKeyInfo* info = keyInfoFor(nameOrAlias);
    return info ? info->key : "";
}

std::string arrayConfigHelp() {
    std::string out =
        "Per-array configuration (--config NAME=VALUE; NAME is the alias or the key):\n";
    for (const auto& s : kConfigKeyInfos) {
        out += "  " + std::string(s.alias) + " (" + s.key + "): " + s.meaning + "\n";
    }
    return out;
}

int cmdArrayAdd(Session& session, const ArrayRequest& request) {
    if (request.name.empty()) {
        return printError("an array needs a name");
    }
    if (session.catalog().arrayByName(request.name)) {
        return printError("array [" + request.name + "] exists; change it with 'array set'");
    }
    ArrayRow array;
    array.name = request.name;
    std::vector<ConfigRow> config;
    std::string error;
    if (!collect(session, request, &array, &config, &error)) {
        return printError(error);
    }
    auto num = session.catalog().addArray(array, config);
    if (!num) {
        return printError("cannot add array: " + session.catalog().error());
    }
    if (session.options().json) {
        std::cout << jsonText(nlohmann::json({{"array", *num}, {"name", array.name}})) << "\n";
    } else {
        std::cout << "array " << *num << " [" << terminalText(array.name) << "] added\n";
    }
    return kExitOk;
}

int cmdArraySet(Session& session, const ArrayRequest& request) {
    auto array = session.catalog().arrayByName(request.name);
    if (!array) {
        return printError("no array [" + request.name + "]");
    }
    std::vector<ConfigRow> config;
    std::string error;
    if (!collect(session, request, &*array, &config, &error)) {
        return printError(error);
    }
    if (!session.catalog().updateArray(*array)) {
        return printError("cannot update array: " + session.catalog().error());
    }
    if (request.clearKey) {
        session.catalog().unsetConfig(array->num, kKeyConfig);
    }
    for (const auto& name : request.unset) {
        std::string key = configKey(name).empty() ? name : configKey(name);
        session.catalog().unsetConfig(array->num, key);
    }
    for (const auto& row : config) {
        if (!session.catalog().setConfig(array->num, row)) {
            return printError("cannot update array: " + session.catalog().error());
        }
    }
    if (!session.options().json) {
        std::cout << "array " << array->num << " [" << terminalText(array->name) << "] updated\n";
    }
    return kExitOk;
}

int cmdArrayList(Session& session) {
    auto arrays = session.catalog().arrays();
    if (session.options().json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& a : arrays) {
            auto config = session.catalog().config(a.num);
            nlohmann::json values = nlohmann::json::object();
            for (const auto& c : config) {
                if (c.key != kKeyConfig) {
                    values[c.key] = c.value;
                }
            }
            out.push_back({{"array", a.num},
                           {"name", a.name},
                           {"user", a.user},
                           {"controlHost", a.controlHost},
                           {"password", !a.password.empty()},
                           {"key", keyDescription(config)},
                           {"config", values}});
        }
        std::cout << jsonText(out) << "\n";
        return kExitOk;
    }
    Table t({"ARRAY", "NAME", "USER", "CONTROL HOST", "PASSWORD", "KEY", "CONFIG"});
    for (const auto& a : arrays) {
        auto config = session.catalog().config(a.num);
        std::string values;
        for (const auto& c : config) {
            if (c.key != kKeyConfig) {
                values += (values.empty() ? "" : " ") + c.key + "=" + c.value;
            }
        }
        t.add({std::to_string(a.num), a.name, a.user.empty() ? "-" : a.user,
               a.controlHost.empty() ? "-" : a.controlHost,
               a.password.empty() ? "-" : "set (encrypted)", keyDescription(config),
               values.empty() ? "-" : values});
    }
    if (t.empty()) {
        std::cout << "no arrays; add one with 'bxso-host array add NAME'\n";
        return kExitOk;
    }
    std::cout << t.render();
    return kExitOk;
}

int cmdArrayRemove(Session& session, const ArrayRequest& request) {
    auto array = session.catalog().arrayByName(request.name);
    if (!array) {
        return printError("no array [" + request.name + "]");
    }
    int live = session.catalog().snapshotsUsingArray(array->num);
    if (live > 0 && !request.force) {
        return printError("array [" + request.name + "] still has " + std::to_string(live) +
                          " snapshot(s) in the catalog; delete them first or use --force");
    }
    if (!session.catalog().removeArray(array->num)) {
        return printError("cannot remove array: " + session.catalog().error());
    }
    if (!session.options().json) {
        std::cout << "array " << array->num << " [" << terminalText(array->name) << "] removed\n";
    }
    return kExitOk;
}

}  // namespace bxhost
