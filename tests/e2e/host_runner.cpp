#include "host_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace bxe2e {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (::pipe2(fd, O_CLOEXEC) != 0) {
            fd[0] = fd[1] = -1;
        }
    }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int i) {
        if (fd[i] >= 0) {
            ::close(fd[i]);
            fd[i] = -1;
        }
    }
};

// Everything exec needs, built before fork: the child may only call
// async-signal-safe functions. A variable of extraEnv replaces the inherited one.
struct ExecArgs {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    std::vector<std::string> envStorage;
    std::vector<char*> envp;
    ExecArgs(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv)
        : storage(args), envStorage(extraEnv) {
        for (auto& s : storage) {
            argv.push_back(&s[0]);
        }
        argv.push_back(nullptr);
        for (char** e = environ; e && *e; ++e) {
            std::string name = std::string(*e).substr(0, std::string(*e).find('=') + 1);
            bool replaced = false;
            for (const auto& x : extraEnv) {
                replaced |= x.rfind(name, 0) == 0;
            }
            if (!replaced) {
                envStorage.emplace_back(*e);
            }
        }
        for (auto& s : envStorage) {
            envp.push_back(&s[0]);
        }
        envp.push_back(nullptr);
    }
};

}  // namespace

pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int in,
             int out, int err, bool terminalSession) {
    ExecArgs exec(argv, extraEnv);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (terminalSession) {
            ::setsid();
            ::ioctl(err, TIOCSCTTY, 0);
        }
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(in >= 0 ? in : devnull, 0);
        ::dup2(out >= 0 ? out : devnull, 1);
        ::dup2(err >= 0 ? err : devnull, 2);
        ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
        ::_exit(127);
    }
    return pid;
}

pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   int* errFd) {
    Pipe err;
    pid_t pid = launch(argv, extraEnv, -1, -1, err.fd[1]);
    *errFd = ::dup(err.fd[0]);
    return pid;
}

int waitExit(pid_t pid, long* peakRssKb) {
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    if (peakRssKb) {
        *peakRssKb = usage.ru_maxrss;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& stdinText,
                     const std::vector<std::string>& extraEnv) {
    RunResult result;
    Pipe in, out, err;
    pid_t pid = launch(argv, extraEnv, in.fd[0], out.fd[1], err.fd[1]);
    if (pid < 0) {
        return result;
    }
    in.closeEnd(0);
    out.closeEnd(1);
    err.closeEnd(1);
    if (!stdinText.empty()) {
        ssize_t ignored = ::write(in.fd[1], stdinText.data(), stdinText.size());
        (void)ignored;
    }
    in.closeEnd(1);
    readBoth(out.fd[0], &result.out, err.fd[0], &result.err);
    result.exitCode = waitExit(pid, &result.peakRssKb);
    return result;
}

void readBoth(int fdA, std::string* a, int fdB, std::string* b) {
    struct pollfd fds[2] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}};
    std::string* sinks[2] = {a, b};
    int open = 2;
    char buf[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
}

void HostTest::startHost(gce::EmulatorOptions options) {
    env = std::make_unique<bxtest::EmulatorEnv>(std::move(options));
    ASSERT_TRUE(env->ok()) << env->error();
    char tmpl[] = "/tmp/bxso-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    catalog = dir + "/catalog.db";
    keyFile = dir + "/host.key";
    debugLog = dir + "/plugin-debug.log";
    auto& s = env->settings();
    s.set("Log", "File", debugLog);
    s.set("~MoverNode", "nGCPSnapStatusCheckRetryCount", "200");
    s.set("~MoverNode", "nGCPSnapStatusCheckRetryIntervalInMilliseconds", "10");
}

void HostTest::SetUp() {
    ASSERT_NO_FATAL_FAILURE(startHost());
    env->settings().set("Log", "Level", "9");
}

void HostTest::TearDown() {
    if (!dir.empty() && !HasFailure()) {
        runProgram({"/bin/rm", "-rf", dir});
    }
}

std::vector<std::string> HostTest::hostArgs(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {BXSO_HOST_BINARY, "--catalog", catalog,         "--key-file",
                                     keyFile,          "--plugin",  BXSO_PLUGIN_FILE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void HostTest::addLocalArray() {
    RunResult r = host({"array", "add", "GCP-Default-IAM", "--config", "retry-interval=0",
                        "--config", "retry-count=50"});
    ASSERT_EQ(r.exitCode, 0) << r.all();
}

}  // namespace bxe2e
