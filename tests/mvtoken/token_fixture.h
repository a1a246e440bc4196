#ifndef TOKEN_FIXTURE_H
#define TOKEN_FIXTURE_H

// Shared by the stand-in's tests: a private store directory, the mvtoken tool and the
// stand-in library bound the way the program binds it.

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
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

// Runs mvtoken with the arguments in the current environment.
inline Result runMvtoken(const std::vector<std::string> &args)
{
    Result r;
    std::string out = envOr("TMPDIR", "/tmp") + "/mvtoken-out-" + std::to_string(getpid()) + ".txt";
    std::vector<std::string> all = {mvtokenPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
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
