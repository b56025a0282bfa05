// The instance metadata server of "this VM" (plain HTTP, as on GCE): bare text for leaf
// values, directory listings, ?recursive=true JSON, the default token, 404 for the rest.
#include "impl.h"
#include "util.h"

namespace gce {

namespace {

std::string camel(const std::string& dashed) {
    std::string out;
    bool up = false;
    for (char c : dashed) {
        if (c == '-') {
            up = true;
        } else {
            out += up ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            up = false;
        }
    }
    return out;
}

Json toRecursive(const Json& node) {
    if (!node.is_object()) {
        return node;
    }
    Json out = Json::object();
    for (auto it = node.begin(); it != node.end(); ++it) {
        if (it.key() == "token") {
            continue;  // never part of a recursive listing
        }
        // Service-account e-mails keep their spelling; other names become camelCase.
        std::string key = it.key().find('@') != std::string::npos ? it.key() : camel(it.key());
        if ((key == "aliases" || key == "scopes") && it.value().is_string()) {
            Json list = Json::array();
            std::string text = it.value().get<std::string>();
            size_t start = 0;
            while (start < text.size()) {
                size_t nl = text.find('\n', start);
                if (nl == std::string::npos) {
                    nl = text.size();
                }
                if (nl > start) {
                    list.push_back(text.substr(start, nl - start));
                }
                start = nl + 1;
            }
            out[key] = list;
            continue;
        }
        out[key] = toRecursive(it.value());
    }
    return out;
}

std::string htmlError(int code, const std::string& path, const std::string& why) {
    return "<!DOCTYPE html>\n<html lang=en>\n  <meta charset=utf-8>\n  <title>Error " +
           std::to_string(code) + " (" + (code == 403 ? "Forbidden" : "Not Found") +
           ")!!1</title>\n  <p><b>" + std::to_string(code) +
           ".</b> <ins>That\xE2\x80\x99s an error.</ins>\n  <p>" + why + " <code>" + path +
           "</code> " +
           (code == 403 ? "from this server. Missing Metadata-Flavor:Google header. "
                        : "was not found on this server. ") +
           "<ins>That\xE2\x80\x99s all we know.</ins>\n";
}

}  // namespace

void Emulator::Impl::handleMetadata(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Metadata-Flavor", "Google");
    res.set_header("Server", "Metadata Server for VM");
    const std::string& path = req.path;
    bool flavor = req.get_header_value("Metadata-Flavor") == "Google" ||
                  util::lower(req.get_header_value("X-Google-Metadata-Request")) == "true";
    if (req.has_header("X-Forwarded-For") || !flavor) {
        res.status = 403;
        res.set_content(htmlError(403, path, "Your client does not have permission to get URL"),
                        "text/html; charset=UTF-8");
        return;
    }
    if (path == "/") {
        res.set_content("computeMetadata/\n", "application/text");
        return;
    }
    const std::string prefix = "/computeMetadata/v1";
    if (req.method != "GET" || path.compare(0, prefix.size(), prefix) != 0 ||
        (path.size() > prefix.size() && path[prefix.size()] != '/')) {
        res.status = 404;
        res.set_content(htmlError(404, path, "The requested URL"), "text/html; charset=UTF-8");
        return;
    }
    std::unique_lock<std::mutex> lock(mu);
    int64_t now = util::nowMs();
    advance(now);
    auto vm = world.instances.find(world.thisVm);
    if (vm == world.instances.end()) {
        res.status = 503;
        res.set_content("no instance is \"this VM\" in the scenario\n", "application/text");
        return;
    }
    const Instance& inst = vm->second;
    const Project& proj = world.projects[inst.project];
    std::string email = inst.serviceAccount;
    Json sa = Json::object();
    if (!email.empty()) {
        std::string scopes;
        for (const auto& s : inst.scopes) {
            scopes += s + "\n";
        }
        Json acct = {{"aliases", "default\n"}, {"email", email}, {"scopes", scopes}, {"token", ""}};
        sa["default"] = acct;
        sa[email] = acct;
    }
    Json tree = {
        {"instance",
         {{"attributes", Json::object()},
          {"hostname", inst.hostname.empty()
                           ? inst.name + "." + inst.zone + ".c." + inst.project + ".internal"
                           : inst.hostname},
          {"id", inst.id},
          {"machine-type", "projects/" + proj.number + "/machineTypes/" + inst.machineType},
          {"name", inst.name},
          {"service-accounts", sa},
          {"zone", "projects/" + proj.number + "/zones/" + inst.zone}}},
        {"project",
         {{"attributes", Json::object()},
          {"numeric-project-id", proj.number},
          {"project-id", proj.id}}}};

    auto seg = util::splitPath(path.substr(prefix.size()));
    const Json* node = &tree;
    for (size_t i = 0; i < seg.size(); ++i) {
        if (!node->is_object() || !node->contains(seg[i])) {
            node = nullptr;
            break;
        }
        node = &(*node)[seg[i]];
    }
    if (node == nullptr) {
        res.status = 404;
        res.set_content(htmlError(404, path, "The requested URL"), "text/html; charset=UTF-8");
        return;
    }
    bool isToken =
        !seg.empty() && seg.back() == "token" && seg.size() >= 4 && seg[1] == "service-accounts";
    if (isToken) {
        int expiresIn = 0;
        std::string tok;
        for (const auto& kv : world.tokens) {
            // The server hands out the same token until it nears its end, as GCE does.
            int64_t left = kv.second.expiresMs - now;
            if (kv.second.email == email && kv.second.limited && kv.second.scopes == inst.scopes &&
                left > 0 && left > std::min<int64_t>(300000, opts.tokenLifetimeSec * 500LL)) {
                tok = kv.first;
                expiresIn = static_cast<int>(left / 1000);
            }
        }
        if (tok.empty()) {
            tok = issueTokenLocked(email, now, &expiresIn, &inst.scopes);
            saveIfChangedLocked();
        }
        Json j = {{"access_token", tok}, {"expires_in", expiresIn}, {"token_type", "Bearer"}};
        res.set_content(j.dump(), "application/json");
        return;
    }
    bool recursive = req.get_param_value("recursive") == "true";
    bool altJson = req.get_param_value("alt") == "json";
    if (node->is_object()) {
        if (recursive || altJson) {
            Json j = recursive ? toRecursive(*node) : Json::array();
            if (!recursive) {
                for (auto it = node->begin(); it != node->end(); ++it) {
                    j.push_back(it.key() + (it.value().is_object() ? "/" : ""));
                }
            }
            res.set_content(j.dump(), "application/json");
        } else {
            std::string listing;
            for (auto it = node->begin(); it != node->end(); ++it) {
                listing += it.key() + (it.value().is_object() ? "/" : "") + "\n";
            }
            res.set_content(listing, "application/text");
        }
        return;
    }
    std::string value = node->get<std::string>();
    res.set_content(altJson ? Json(value).dump() : value,
                    altJson ? "application/json" : "application/text");
}

}  // namespace gce
