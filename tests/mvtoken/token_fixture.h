#ifndef TOKEN_FIXTURE_H
#define TOKEN_FIXTURE_H

// Shared by the stand-in's tests: a private store directory, the mvtoken tool and the
// stand-in library bound the way the program binds it.

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

#include "skfapi.h"

extern char **environ;

namespace tokentest {

inline std::string envOr(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

inline std::string mvtokenPath()
{
    return envOr("MV_BIN_DIR", ".") + "/mvtoken";
}

inline std::string libraryPath()
{
    return envOr("MV_TOKEN_DIR", ".") + "/libSKFAPI.so";
}

// A fresh, private store directory named by MVUKEY_STORE for this process.
inline std::string makeStore()
{
    char tmpl[] = "/tmp/mvtoken-test-XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (!dir)
        throw std::runtime_error("mkdtemp");
    std::string store = std::string(dir) + "/store";
    setenv("MVUKEY_STORE", store.c_str(), 1);
    return store;
}

inline void removeTree(const std::string &path)
{
    if (path.size() > 5 && path.compare(0, 5, "/tmp/") == 0) {
        const std::string parent = path.substr(0, path.find('/', 5));
        const std::string cmd = "rm -rf '" + parent + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

struct Result {
    int status = -1;
    std::string output; // stdout and stderr
};

// AddressSanitizer needs its whole address space: the tests that limit it skip there.
#if defined(__SANITIZE_ADDRESS__)
#define TOKENTEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOKENTEST_ASAN 1
#endif
#endif

// Limits this process's address space (RLIMIT_AS) to what it maps now and headroom bytes
// more; the limits before go to old. False when they cannot be read or set.
inline bool limitAddressSpace(rlim_t headroom, struct rlimit *old = nullptr)
{
    long pages = 0;
    FILE *statm = fopen("/proc/self/statm", "r");
    const bool read = statm && fscanf(statm, "%ld", &pages) == 1;
    if (statm)
        fclose(statm);
    struct rlimit rl;
    if (!read || getrlimit(RLIMIT_AS, &rl) != 0)
        return false;
    if (old)
        *old = rl;
    rl.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + headroom;
    return setrlimit(RLIMIT_AS, &rl) == 0;
}

// Runs mvtoken with the arguments in the current environment; with addressSpace, in an
// address space of that many bytes at most (RLIMIT_AS).
inline Result runMvtoken(const std::vector<std::string> &args, rlim_t addressSpace = 0)
{
    Result r;
    std::string out = envOr("TMPDIR", "/tmp") + "/mvtoken-out-" + std::to_string(getpid()) + ".txt";
    std::vector<std::string> all = {mvtokenPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (addressSpace) {
        pid = fork();
        if (pid == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const struct rlimit rl = {addressSpace, addressSpace};
            if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || setrlimit(RLIMIT_AS, &rl) != 0)
                _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
    } else {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    if (pid > 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::ifstream in(out);
    std::stringstream ss;
    ss << in.rdbuf();
    r.output = ss.str();
    unlink(out.c_str());
    return r;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A store.lock that the store must refuse, made in place of the lock of a provisioned
// store; problem is part of the refusal's text.
struct BadLock {
    const char *name;
    bool needsRoot; // makes a device or a file of another user
    std::function<bool(const std::string &lock)> make;
    const char *problem;
};

inline std::vector<BadLock> badLocks()
{
    auto replaced = [](const std::string &lock, const std::function<int()> &make) {
        return unlink(lock.c_str()) == 0 && make() == 0;
    };
    return {
        {"store.lock 0666", false, [](const std::string &lock) { return chmod(lock.c_str(), 0666) == 0; },
         "store.lock is writable by group and others (mode 0666)"},
        {"store.lock of another user", true,
         [](const std::string &lock) {
             const struct passwd *nobody = getpwnam("nobody");
             return nobody && chown(lock.c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
         },
         "store.lock belongs to user id"},
        {"store.lock FIFO", false,
         [=](const std::string &lock) { return replaced(lock, [&] { return mkfifo(lock.c_str(), 0600); }); },
         "store.lock is not a regular file"},
        {"store.lock device", true,
         [=](const std::string &lock) {
             return replaced(lock, [&] { return mknod(lock.c_str(), S_IFCHR | 0600, makedev(1, 3)); });
         },
         "store.lock is not a regular file"},
        {"store.lock folder", false,
         [=](const std::string &lock) { return replaced(lock, [&] { return mkdir(lock.c_str(), 0700); }); },
         "store.lock is not a regular file"},
        {"store.lock link", false,
         [=](const std::string &lock) {
             return replaced(lock, [&] { return symlink("/dev/null", lock.c_str()); });
         },
         "store.lock is a symbolic link"},
    };
}

// The stand-in bound as the program binds it, with every function resolved by name.
struct Library {
    void *handle = nullptr;

    Library() { handle = dlopen(libraryPath().c_str(), RTLD_LAZY | RTLD_GLOBAL); }
    template <typename Fn>
    Fn *fn(const char *name) const
    {
        void *p = handle ? dlsym(handle, name) : nullptr;
        if (!p)
            throw std::runtime_error(std::string("missing ") + name);
        return reinterpret_cast<Fn *>(p);
    }
};

// The stand-in, bound once for the whole test program.
inline Library &standin()
{
    static Library library;
    return library;
}

// SKF(SKF_Name)(...) calls the stand-in's SKF_Name with its interface type.
#define SKF(name) tokentest::standin().fn<name##_Fn>(#name)

// Names of a name list (NUL-separated, ended by an empty name).
inline std::vector<std::string> splitNames(const char *list, ULONG size)
{
    std::vector<std::string> names;
    ULONG i = 0;
    while (i < size && list[i]) {
        std::string n(list + i);
        names.push_back(n);
        i += n.size() + 1;
    }
    return names;
}

} // namespace tokentest

#endif // TOKEN_FIXTURE_H
