// package: writes a copy of a file with the copy's first byte set to M.
//   package action filein fileout
// Exit status 0 on success, 1 on any failure (the message says which).
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int fail(const char* format, const char* name)
{
    std::printf(format, name);
    std::fflush(stdout);
    return 1;
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

// Copies exactly `length` bytes, the first one replaced by M. Returns 0, or
// the message's exit status on a short read or a failed write.
int copy_marked(FILE* in, FILE* out, long long length, const char* in_name, const char* out_name)
{
    static unsigned char chunk[1 << 16];
    for (long long done = 0; done < length;) {
        long long left = length - done;
        size_t want = left < static_cast<long long>(sizeof chunk) ? static_cast<size_t>(left) : sizeof chunk;
        size_t got = std::fread(chunk, 1, want, in);
        if (got > 0 && done == 0)
            chunk[0] = 'M';
        if (std::fwrite(chunk, 1, got, out) != got)
            return fail("Can't write file %s.", out_name);
        done += static_cast<long long>(got);
        if (got < want)
            return fail("Could not read file %s", in_name);
    }
    if (std::fclose(out) != 0)
        return fail("Can't write file %s.", out_name);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("Usage: package action filein fileout ", stdout);
        return 1;
    }
    const char* in_name = argv[2];
    const char* out_name = argv[3];
    struct stat info {};
    long long length = input_length(in_name, info);
    if (length < 0)
        return fail("Could not open file %s", in_name);
    if (same_file(info, out_name))
        return fail("Can't copy %s onto itself.", in_name);
    FILE* in = std::fopen(in_name, "rb");
    if (in == nullptr)
        return fail("Can't open file %s.", in_name);
    FILE* out = std::fopen(out_name, "wb");
    if (out == nullptr)
        return fail("Can't open file %s.", out_name);
    std::printf("\nPlease wait... creating %s", "voxa.exe");
    int status = copy_marked(in, out, length, in_name, out_name);
    std::fclose(in);
    return std::fflush(stdout) == 0 ? status : 1;
}
