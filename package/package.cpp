// package: writes a copy of a file with the copy's first byte set to M.
//   package action filein fileout
// Exit status 0 on success, 1 on any failure (the message says which).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char usage[] =
    "Usage: package action filein fileout\n"
    "       package --help | --version\n"
    "Writes a copy of filein to fileout (replacing it) with the copy's first byte\n"
    "set to the letter M. action must be given and changes nothing. Exit status 0\n"
    "when the copy was written whole, 1 otherwise. Manual: man package\n";

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

bool write_all(int to, const unsigned char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t n = write(to, bytes, size);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        if (n > 0) {
            bytes += n;
            size -= static_cast<size_t>(n);
        }
    }
    return true;
}

enum class copied { whole, short_read, write_failed };

// Copies what is left of `length` bytes, in the kernel where it can.
copied copy_rest(int in, int out, long long& done, long long length)
{
    static unsigned char chunk[1 << 16];
    bool by_kernel = true;
    while (done < length) {
        size_t want = static_cast<size_t>(std::min(length - done, 1LL << 30));
        ssize_t n = by_kernel ? copy_file_range(in, nullptr, out, nullptr, want, 0) : -1;
        if (n < 0 && by_kernel && errno != EINTR) {
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return errno == EIO ? copied::short_read : copied::write_failed;
            by_kernel = false; // not between these two: through our own buffer
        }
        if (!by_kernel) {
            n = read(in, chunk, std::min(want, sizeof chunk));
            if (n > 0 && !write_all(out, chunk, static_cast<size_t>(n)))
                return copied::write_failed;
        }
        if (n == 0 || (n < 0 && errno != EINTR))
            return copied::short_read;
        done += std::max<ssize_t>(n, 0);
    }
    return copied::whole;
}

// Copies exactly `length` bytes, the first one replaced by M. Returns 0, or
// the message's exit status on a short read or a failed write; the caller
// closes both files.
int copy_marked(int in, int out, long long length, const char* in_name, const char* out_name)
{
    long long done = 0;
    if (length > 0) {
        unsigned char first = 0;
        ssize_t n = read(in, &first, 1);
        if (n != 1)
            return fail("Could not read file %s", in_name);
        first = 'M';
        if (!write_all(out, &first, 1))
            return fail("Can't write file %s.", out_name);
        done = 1;
    }
    switch (copy_rest(in, out, done, length)) {
    case copied::short_read:
        return fail("Could not read file %s", in_name);
    case copied::write_failed:
        return fail("Can't write file %s.", out_name);
    case copied::whole:
        break;
    }
    return 0;
}

} // namespace

// The whole program, callable in-process: the fuzz target runs it so.
int package_main(int argc, char** argv)
{
    open_missing_standard_files();
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
    struct stat info {};
    long long length = input_length(in_name, info);
    if (length < 0) {
        fail("Could not open file %s", in_name);
        if (looks_like_option(in_name))
            std::fputs(option_hint, stderr);
        return 1;
    }
    if (same_file(info, out_name))
        return fail("Can't copy %s onto itself.", in_name);
    int in = open(in_name, O_RDONLY);
    if (in < 0)
        return fail("Can't open file %s.", in_name);
    // A new copy gets the permission bits of the file it copies, less the
    // umask, as a plain copy does: an executable stays executable.
    int out = open(out_name, O_WRONLY | O_CREAT | O_TRUNC, info.st_mode & 0777);
    if (out < 0) {
        close(in);
        return fail("Can't open file %s.", out_name);
    }
    std::printf("\nPlease wait... creating %s", "voxa.exe");
    int status = copy_marked(in, out, length, in_name, out_name);
    close(in);
    if (close(out) != 0 && status == 0)
        status = fail("Can't write file %s.", out_name);
    return std::fflush(stdout) == 0 ? status : 1;
}

#ifndef PACKAGE_NO_MAIN
int main(int argc, char** argv)
{
    return package_main(argc, argv);
}
#endif
