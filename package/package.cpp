// package: writes a copy of a file with the copy's first byte set to M.
//   package action filein fileout
// Exit status 0 on success, 1 on any failure (the message says which).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "files.hpp"

namespace {

const char usage[] =
    "Usage: package action filein fileout\n"
    "       package --help | --version\n"
    "Writes a copy of filein to fileout with the copy's first byte set to the\n"
    "letter M. action must be given and changes nothing. The copy is written\n"
    "beside fileout and renamed over it: a failure leaves the old fileout whole.\n"
    "Exit status 0 when the copy was written whole, 1 otherwise. Manual: man package\n";

int fail(const char* format, const char* name)
{
    std::printf(format, name);
    std::fflush(stdout);
    return 1;
}

// An argument that begins with '-' and names no file was more likely meant
// as an option: the hint follows the message, which leaves its line open.
bool looks_like_option(const char* argument)
{
    return argument[0] == '-' && access(argument, F_OK) != 0;
}
const char option_hint[] = "\nTry 'package --help'.\n";

// A closed standard descriptor would be taken by the output file, and the
// messages would land in the copy.
void open_missing_standard_files()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: fd
}

// The length of filein, taken once before the copy; -1 when it cannot be
// opened. A folder has no bytes to copy, and a pipe no length: opening one
// does not wait for a writer.
long long input_length(const char* name, struct stat& info)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    bool ok = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode) && !S_ISFIFO(info.st_mode) &&
              !S_ISSOCK(info.st_mode);
    close(fd);
    return ok ? static_cast<long long>(info.st_size) : -1;
}

bool same_file(const struct stat& in, const char* out_name)
{
    struct stat out {};
    return stat(out_name, &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

// Says that the output cannot be written, and why.
int cannot_write(const char* out_name)
{
    std::printf("Can't write file %s (%s).", out_name, std::strerror(errno));
    std::fflush(stdout);
    return 1;
}

// The copy's first byte is M, the rest the input's; `length` bytes in all.
// As with cp, the system puts it on the disk in its own time: the input is
// never at risk, and waiting for the disk would triple the time of a copy.
// A fault is reported, and its status returned; 0 when whole.
int copy_marked(int in, int out, off_t length, const char* in_name, const char* out_name)
{
    unsigned char first = 'M';
    size_t put = 0;
    if (length > 0 && pread(in, &first, 1, 0) != 1)
        return fail("Could not read file %s", in_name);
    first = 'M';
    bool whole = (within_size_limit(length) || (errno = EFBIG, false)) &&
                 (length == 0 || (write_all(out, &first, 1, 0, put) && copy_bytes(in, 1, out, 1, length - 1))) &&
                 set_size(out, length);
    if (whole)
        return 0;
    return errno == ENODATA ? fail("Could not read file %s", in_name) : cannot_write(out_name);
}

// The output's permission bits: those it has, or for a new one the input's
// less the umask, as a plain copy does (an executable stays executable).
mode_t output_bits(const char* out_name, const struct stat& in)
{
    struct stat out {};
    return stat(out_name, &out) == 0 ? out.st_mode & 07777 : less_umask(in.st_mode & 0777);
}

} // namespace

// The whole program, callable in-process: the fuzz target runs it so.
int package_main(int argc, char** argv)
{
    open_missing_standard_files();
    // A file size limit or a closed output is reported, not a silent end.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return std::fputs(usage, stdout) < 0 || std::fflush(stdout) != 0;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::printf("package %.2f\n", VOXA_VERSION) < 0 || std::fflush(stdout) != 0;
    if (argc < 4) {
        std::fputs("Usage: package action filein fileout ", stdout);
        std::fflush(stdout);
        if (std::any_of(argv + 1, argv + argc, looks_like_option))
            std::fputs(option_hint, stderr);
        return 1;
    }
    const char* in_name = argv[2];
    const char* out_name = argv[3];
    struct stat info {}, there {};
    long long length = input_length(in_name, info);
    if (length < 0) {
        fail("Could not open file %s", in_name);
        if (looks_like_option(in_name))
            std::fputs(option_hint, stderr);
        return 1;
    }
    if (same_file(info, out_name))
        return fail("Can't copy %s onto itself.", in_name);
    // The copy is written beside the output and renamed over it: the
    // previous output stays whole until the copy is. Only a plain file is
    // replaced (never a device or a pipe), through a symbolic link.
    if (stat(out_name, &there) == 0 && !S_ISREG(there.st_mode))
        return fail("Can't write file %s (not a regular file).", out_name);
    int in = open(in_name, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail("Can't open file %s.", in_name);
    std::string target = target_of(out_name), temp;
    int out = temporary_beside(target, temp);
    if (out < 0 || fchmod(out, output_bits(out_name, info)) != 0) {
        close(in);
        if (out >= 0) {
            close(out);
            remove_file(temp);
        }
        return fail("Can't open file %s.", out_name);
    }
    std::printf("\nPlease wait... creating %s", "voxa.exe");
    int status = copy_marked(in, out, static_cast<off_t>(length), in_name, out_name);
    close(in);
    if (close(out) != 0 && status == 0)
        status = cannot_write(out_name);
    if (status == 0 && rename(temp.c_str(), target.c_str()) != 0)
        status = cannot_write(out_name);
    if (status != 0 && !remove_file(temp))
        std::printf(" Can't remove %s (%s).", temp.c_str(), std::strerror(errno));
    return std::fflush(stdout) == 0 ? status : 1;
}

#ifndef PACKAGE_NO_MAIN
int main(int argc, char** argv)
{
    return package_main(argc, argv);
}
#endif
