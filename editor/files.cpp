// File operations the write is made of.
#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

bool write_all(int to, const unsigned char* bytes, size_t size, off_t at, size_t& written)
{
    written = 0;
    while (written < size) {
        ssize_t n = pwrite(to, bytes + written, size - written, at + static_cast<off_t>(written));
        if (n > 0)
            written += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            return false;
    }
    return true;
}

namespace {

unsigned char copy_room[1 << 16];

// The source ended before the bytes it was to give: it changed under us.
bool shorter()
{
    errno = ENODATA;
    return false;
}

// Copies [at, at + size) of `from` to `to` at `to_at`, by the kernel where
// the two files allow it, else through our own buffer.
bool copy_run(int from, off_t at, int to, off_t to_at, off_t size)
{
    loff_t in = at, out = to_at;
    off_t end = at + size;
    while (in < end) {
        ssize_t n = copy_file_range(from, &in, to, &out, static_cast<size_t>(std::min<off_t>(end - in, 1 << 30)), 0);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        if (n == 0)
            return shorter();
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return false;
        while (in < end) {
            ssize_t got = pread(from, copy_room, static_cast<size_t>(std::min<off_t>(end - in, sizeof copy_room)), in);
            if (got == 0)
                return shorter();
            size_t put = 0;
            if (got < 0 ? errno != EINTR : !write_all(to, copy_room, static_cast<size_t>(got), out, put))
                return false;
            in += std::max<ssize_t>(got, 0);
            out += std::max<ssize_t>(got, 0);
        }
    }
    return true;
}

bool keep_owner(int to, const struct stat& info)
{
    if (fchown(to, info.st_uid, info.st_gid) == 0)
        return true;
    struct stat made {};
    return fstat(to, &made) == 0 && made.st_uid == info.st_uid && made.st_gid == info.st_gid;
}

} // namespace

bool copy_bytes(int from, off_t at, int to, off_t to_at, off_t size)
{
    off_t end = at + size;
    struct stat info {};
    if (size > 0 && (fstat(from, &info) != 0 || info.st_size < end))
        return shorter();
    while (at < end) {
        off_t data = lseek(from, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            return true; // nothing but a hole up to the end
        off_t hole = data < 0 ? end : lseek(from, data, SEEK_HOLE);
        if (data < 0)
            data = at; // no holes known here: all of it is data
        if (hole < 0 || hole > end)
            hole = end;
        if (data >= end)
            return true;
        if (!copy_run(from, data, to, to_at + (data - at), hole - data))
            return false;
        to_at += hole - at;
        at = hole;
    }
    return true;
}

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool same_folder(const std::string& a, const std::string& b)
{
    std::string fa = folder_of(a), fb = folder_of(b);
    return fa == fb || same_file(fa, fb);
}

std::string target_of(const std::string& name)
{
    char* real = realpath(name.c_str(), nullptr);
    std::string target = real != nullptr ? real : name;
    std::free(real);
    return target;
}

int temporary_beside(const std::string& target, const struct stat* info, std::string& temp)
{
    temp = folder_of(target) + "/.voxa-XXXXXX";
    int to = mkostemp(temp.data(), O_CLOEXEC);
    if (to < 0)
        return -1;
    if (info == nullptr ? fchmod(to, new_file_mode()) == 0
                        : keep_owner(to, *info) && fchmod(to, info->st_mode & 07777) == 0)
        return to;
    unlink(temp.c_str());
    close(to);
    return -1;
}

int open_plain_file(const std::string& name)
{
    int fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || ftruncate(fd, 0) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

void sync_folder(const std::string& path)
{
    int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

bool within_size_limit(off_t size)
{
    rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           static_cast<rlim_t>(size) <= limit.rlim_cur;
}

mode_t new_file_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}
