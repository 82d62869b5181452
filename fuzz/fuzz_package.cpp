// Runs the copy tool in-process on arguments and an input file taken from
// the fuzz input, in a scratch folder, and checks its promise: on status 0
// the output is the input with its first byte M; otherwise the previous
// output is as it was; the input is never changed; no file is made but the
// one named for output.
//
// An input is a 5-byte head, then the input file's bytes:
//   head[0]   the argument count, 0 to 5
//   head[1]   the first argument: an action, --help, --version or nothing
//   head[2]   the input name, head[3] the output name, both from a list
//             that holds links to the input, a folder, a device, missing
//             files, and for the input a pipe
//   head[4]   a file size limit of head[4] * 17 bytes (0: none); bit 0 of
//             the count also leaves an older, longer output in place
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scratch.hpp"

int package_main(int argc, char** argv); // package.cpp

namespace {

constexpr size_t head_size = 5;

[[noreturn]] void failed_check(const char* what, const char* in_name, const char* out_name)
{
    std::fprintf(stderr, "\n*** %s (package x %s %s)\n", what, in_name, out_name);
    scratch::clean_up(); // the reproducer brings the files back
    std::abort();
}

const char* const actions[] = {"make", "--help", "--version", ""};
// The names given; the pipe only as the input (as output it waits for a
// reader, as a copy to a pipe does).
const char* const names[] = {"in.bin",   "out.bin",     "missing.bin", "sub",      "./in.bin",
                             "link.bin", "hard.bin",    "sub/new.bin", "",         "/dev/full",
                             "dangling.bin", "sub/../out.bin", "p.fifo"};
constexpr size_t output_names = std::size(names) - 1;
// Every name that may stand in the folder: the files made here and the
// outputs the list names (dangling.bin leads to gone.bin).
const char* const named[] = {"in.bin",   "out.bin", "missing.bin",  "sub",     "link.bin",
                             "hard.bin", "p.fifo",  "dangling.bin", "gone.bin"};

struct file {
    bool regular = false;
    std::string bytes;
    bool operator==(const file&) const = default;
};

file read_file(const char* name)
{
    file f;
    struct stat info {};
    if (stat(name, &info) != 0 || !S_ISREG(info.st_mode))
        return f;
    f.regular = true;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        failed_check("cannot read a file", name, "");
    char chunk[1 << 14];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        f.bytes.append(chunk, static_cast<size_t>(n));
    close(fd);
    return f;
}

void put_file(const char* name, std::string_view bytes)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        failed_check("cannot make a file", name, "");
    close(fd);
}

void check_folder(const char* in_name, const char* out_name)
{
    DIR* d = opendir(".");
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        std::string_view name = e->d_name;
        if (name != "." && name != ".." && std::find(std::begin(named), std::end(named), name) == std::end(named))
            failed_check("a file that no one named is in the folder", in_name, out_name);
    }
    if (d != nullptr)
        closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    scratch::make("package-fuzz", argc, argv);
    // What the tool prints is not checked here.
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0)
        std::abort();
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    scratch::inside here;
    static bool ready = [] {
        // A write past the size limit fails instead of ending the process
        // (set here: libFuzzer sets its own handlers after initialising).
        std::signal(SIGXFSZ, SIG_IGN);
        bool made = mkdir("sub", 0755) == 0 && mkfifo("p.fifo", 0644) == 0 && symlink("in.bin", "link.bin") == 0 &&
                    symlink("gone.bin", "dangling.bin") == 0;
        if (!made)
            std::abort();
        return true;
    }();
    (void)ready;
    if (size < head_size || size > head_size + (1 << 16))
        return 0;
    const uint8_t* head = data;
    std::string_view input(reinterpret_cast<const char*>(data + head_size), size - head_size);
    int argc = head[0] % 6;
    std::string program = "package";
    std::string action = actions[head[1] % std::size(actions)];
    std::string in_name = names[head[2] % std::size(names)];
    std::string out_name = names[head[3] % output_names];
    char* argv[] = {program.data(), action.data(), in_name.data(), out_name.data(), action.data(), nullptr};
    argv[argc] = nullptr;

    for (const char* name : {"out.bin", "missing.bin", "hard.bin", "gone.bin", "sub/new.bin"})
        unlink(name);
    put_file("in.bin", input);
    if (link("in.bin", "hard.bin") != 0)
        std::abort();
    if (head[4] & 1)
        put_file("out.bin", "an older output, longer than most inputs");
    file in_before = read_file(in_name.c_str());
    file out_before = read_file(out_name.c_str());

    // The descriptors open now; any other one the run leaves open is closed.
    bool was_open[64];
    for (int fd = 0; fd < 64; ++fd)
        was_open[fd] = fcntl(fd, F_GETFD) >= 0;
    rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    rlimit lowered = limit;
    if (head[4] != 0)
        lowered.rlim_cur = std::min<rlim_t>(rlim_t{head[4]} * 17, limit.rlim_max);
    setrlimit(RLIMIT_FSIZE, &lowered);
    int status = package_main(argc, argv);
    setrlimit(RLIMIT_FSIZE, &limit);
    for (int fd = 3; fd < 64; ++fd)
        if (!was_open[fd] && fcntl(fd, F_GETFD) >= 0)
            close(fd);

    const char* in_c = in_name.c_str();
    const char* out_c = out_name.c_str();
    if (status != 0 && status != 1)
        failed_check("an exit status other than 0 and 1", in_c, out_c);
    if (!(read_file(in_c) == in_before))
        failed_check("the input file changed", in_c, out_c);
    bool copies = argc >= 4;
    if (!copies && !(read_file(out_c) == out_before))
        failed_check("a run without the file names changed a file", in_c, out_c);
    // The copy lands by a rename: a failed one leaves the previous output.
    if (copies && status != 0 && !(read_file(out_c) == out_before))
        failed_check("a failed copy changed the previous output", in_c, out_c);
    if (copies && status == 0 && in_before.regular) {
        file expected = in_before;
        if (!expected.bytes.empty())
            expected.bytes[0] = 'M';
        // A device takes the copy without keeping it (and /dev/full takes none).
        file out = read_file(out_c);
        bool kept = out.regular ? out == expected : expected.bytes.empty() || out_name != "/dev/full";
        if (!kept)
            failed_check("status 0, but the output is not the input with its first byte M", in_c, out_c);
    }
    check_folder(in_c, out_c);
    return 0;
}
