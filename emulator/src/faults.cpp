// Request faults (fail, drop, delay the next matching requests) and the request journal.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "impl.h"
#include "util.h"

namespace gce {

JournalEntry Emulator::Impl::entryFor(const std::string& server, const httplib::Request& req) {
    JournalEntry e;
    e.server = server;
    e.method = req.method;
    e.path = req.path;
    size_t q = req.target.find('?');
    e.query = q == std::string::npos ? "" : req.target.substr(q + 1);
    for (const auto& h : req.headers) {
        e.headers[util::lower(h.first)] = h.second;
    }
    e.body = req.body;
    e.time = static_cast<double>(util::nowMs()) / 1000.0;
    return e;
}

void Emulator::Impl::record(JournalEntry entry) {
    entry.answered = static_cast<double>(util::nowMs()) / 1000.0;
    std::lock_guard<std::mutex> lock(journalMu);
    // Bounded, so that a long benchmark cannot grow the process without end.
    if (journalEntries.size() >= 100000) {
        journalEntries.erase(journalEntries.begin(), journalEntries.begin() + 50000);
    }
    journalEntries.push_back(std::move(entry));
}

void Emulator::Impl::dropAnswer(const httplib::Request& req, httplib::Response& res,
                                JournalEntry& entry) {
    entry.status = 0;
    if (req.ssl != nullptr) {
        int fd = SSL_get_fd(req.ssl);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    // Plain HTTP: announce a body and never send it, so the client sees a broken answer.
    res.set_header("Connection", "close");
    res.set_content_provider(static_cast<size_t>(64), "application/json",
                             [](size_t, size_t, httplib::DataSink&) { return false; });
}

bool Emulator::Impl::applyFault(const std::string& server, const httplib::Request& req,
                                httplib::Response& res, JournalEntry& entry, bool* dropAfter) {
    FaultSpec hit;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(faultMu);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            const FaultSpec& f = it->rule;
            bool methodOk = f.method.empty() || f.method == "*" || f.method == req.method;
            if (!methodOk || !util::patternMatch(f.path, req.path)) {
                continue;
            }
            if (++it->seen <= f.skip) {
                continue;
            }
            if (f.probability < 1.0 &&
                std::uniform_real_distribution<double>(0.0, 1.0)(faultRng) >= f.probability) {
                continue;
            }
            ++it->fired;
            hit = f;
            found = true;
            if (f.count > 0 && it->fired >= f.count) {
                faults.erase(it);
            }
            break;
        }
    }
    if (!found) {
        return false;
    }
    if (server == "metadata" && !hit.proxyAnswer) {
        res.set_header("Metadata-Flavor", "Google");
    }
    if (hit.latencySeconds > 0) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(static_cast<int64_t>(hit.latencySeconds * 1000.0)));
    }
    if (hit.dropAfterWork) {
        if (dropAfter) {
            *dropAfter = true;
        }
        return false;
    }
    if (hit.dropConnection) {
        dropAnswer(req, res, entry);
        return true;
    }
    if (hit.status == 0) {
        return false;  // latency only
    }
    res.status = hit.status;
    if (hit.endlessBody) {
        auto chunk = std::make_shared<std::string>(64 * 1024, 'x');
        res.set_chunked_content_provider("application/json",
                                         [chunk](size_t, httplib::DataSink& sink) {
                                             return sink.write(chunk->data(), chunk->size());
                                         });
        entry.status = hit.status;
        return true;
    }
    if (hit.retryAfterSeconds >= 0) {
        res.set_header("Retry-After", std::to_string(hit.retryAfterSeconds));
    }
    std::string body =
        hit.body.empty() ? errors::byStatus(hit.status, hit.reason).body.dump() : hit.body;
    bool json = !body.empty() && (body[0] == '{' || body[0] == '[');
    res.set_content(body, json ? "application/json; charset=UTF-8" : "text/plain");
    entry.status = hit.status;
    return true;
}

}  // namespace gce
