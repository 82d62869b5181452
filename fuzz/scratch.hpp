// A scratch folder for one fuzz process: each run works inside it, and it is
// emptied and removed when the process ends, so that the files the runs make
// stay there and go with it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace scratch {

inline std::string& folder()
{
    static std::string path;
    return path;
}

// Removes a file, a link or a folder with all it holds.
inline void remove_all(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (!S_ISDIR(info.st_mode)) {
        unlink(path.c_str());
        return;
    }
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                remove_all(path + "/" + e->d_name);
        closedir(d);
    }
    rmdir(path.c_str());
}

inline void clean_up()
{
    if (!folder().empty())
        remove_all(folder());
}

// The folder the process was started in, where libFuzzer reads and writes.
inline int& home()
{
    static int fd = -1;
    return fd;
}

// Makes the folder, in memory where the system offers it so that the
// program's syncs cost nothing. Called from LLVMFuzzerInitialize, which
// also sends libFuzzer's crash reports to the starting folder: they are
// written while a run works in the scratch folder.
inline void make(const char* tag, int* argc, char*** argv)
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + tag + "-XXXXXX";
    home() = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home() < 0 || mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "cannot make a scratch folder: %s\n", std::strerror(errno));
        std::abort();
    }
    folder() = pattern;
    std::atexit(clean_up);

    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0 ||
            std::strncmp((*argv)[i], "-exact_artifact_path=", 21) == 0)
            return;
    static std::string prefix;
    static std::vector<char*> args;
    char* here = getcwd(nullptr, 0);
    prefix = std::string("-artifact_prefix=") + (here != nullptr ? here : ".") + "/";
    std::free(here);
    args.assign(*argv, *argv + *argc);
    args.push_back(prefix.data());
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
}

// Works in the folder for one run.
struct inside {
    inside()
    {
        if (chdir(folder().c_str()) != 0)
            std::abort();
    }
    ~inside()
    {
        if (fchdir(home()) != 0)
            std::abort();
    }
    inside(const inside&) = delete;
    inside& operator=(const inside&) = delete;
};

} // namespace scratch
