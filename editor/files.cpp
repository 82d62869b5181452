// Landing a file: the write of the editor and the copy tool share these.
#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <time.h>
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

// A long copy's progress, shown at a terminal once it has run a second.
struct progress_meter {
    FILE* out = nullptr; // nullptr: not shown
    off_t total = 0;
    off_t done = 0;
    timespec began{};
    int shown = -1; // the percentage on the line; -1 while there is none
} meter;

constexpr off_t copy_piece = off_t{64} << 20; // the kernel's copies, a piece at a time

void advance(ssize_t bytes)
{
    if (meter.out == nullptr || bytes <= 0)
        return;
    meter.done += bytes;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - meter.began.tv_sec) * 1000 + (now.tv_nsec - meter.began.tv_nsec) / 1000000 < 1000)
        return;
    off_t hundredth = std::max<off_t>(1, meter.total / 100);
    int percent = static_cast<int>(std::min<off_t>(99, meter.done / hundredth));
    if (percent != meter.shown) {
        std::fprintf(meter.out, "\r%3d%% copied", percent);
        std::fflush(meter.out);
        meter.shown = percent;
    }
}

// Copies [at, at + size) of `from` to `to` at `to_at`, by the kernel where
// the two files allow it, else through our own buffer.
bool copy_run(int from, off_t at, int to, off_t to_at, off_t size)
{
    loff_t in = at, out = to_at;
    off_t end = at + size;
    while (in < end) {
        ssize_t n = copy_file_range(from, &in, to, &out, static_cast<size_t>(std::min(end - in, copy_piece)), 0);
        advance(n);
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
            advance(got);
        }
    }
    return true;
}

} // namespace

void show_progress(FILE* out, off_t total)
{
    meter = {out, total, 0, {}, -1};
    clock_gettime(CLOCK_MONOTONIC, &meter.began);
}

void end_progress()
{
    int error = errno; // what a failed copy left, for its message
    if (meter.shown >= 0) {
        std::fputs("\r            \r", meter.out); // the line is left blank for what follows
        std::fflush(meter.out);
    }
    meter.out = nullptr;
    errno = error;
}

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

std::string leaf_of(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
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

int temporary_beside(const std::string& target, std::string& temp)
{
    temp = folder_of(target) + "/.voxa-XXXXXX";
    return mkostemp(temp.data(), O_CLOEXEC);
}

namespace {

bool is_security_attribute(const char* name)
{
    return std::strncmp(name, "security.", 9) == 0;
}

// Copies the extended attributes of `from` to `to`. Those in the security
// namespace that the process may not set are left out, as the kernel drops
// a file's capabilities itself when another user writes it; any other that
// cannot be copied is a fault.
bool copy_attributes(int from, int to)
{
    static char names[1 << 16];
    static char value[1 << 16];
    ssize_t listed = flistxattr(from, names, sizeof names);
    if (listed < 0)
        return errno == ENOTSUP; // a file system without them
    for (const char* name = names; name < names + listed; name += std::strlen(name) + 1) {
        ssize_t size = fgetxattr(from, name, value, sizeof value);
        if (size < 0 && errno == ENODATA)
            continue; // removed since it was listed
        if (size < 0)
            return false;
        if (fsetxattr(to, name, value, static_cast<size_t>(size), 0) != 0 &&
            !(is_security_attribute(name) && (errno == EPERM || errno == EACCES || errno == ENOTSUP)))
            return false;
    }
    return true;
}

} // namespace

bool give_attributes(int to, int from, const struct stat& info, mode_t bits, owner_rule rule)
{
    if (fchown(to, info.st_uid, info.st_gid) != 0) {
        struct stat made {};
        bool same = fstat(to, &made) == 0 && made.st_uid == info.st_uid && made.st_gid == info.st_gid;
        if (!same && rule == owner_rule::required) {
            errno = EPERM;
            return false;
        }
        // Bits meant for the file's group must not go to another one.
        if (!same && fchown(to, static_cast<uid_t>(-1), info.st_gid) != 0)
            bits &= ~mode_t{070};
    }
    // The bits last: a change of owner clears the set-id bits, and an ACL
    // copied sets the group bits from its mask.
    return copy_attributes(from, to) && fchmod(to, bits) == 0;
}

bool remove_file(const std::string& name)
{
    return unlink(name.c_str()) == 0 || errno == ENOENT;
}

bool sync_folder(const std::string& path)
{
    int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    bool synced = fsync(folder) == 0;
    int error = errno;
    if (close(folder) != 0 && synced) {
        synced = false;
        error = errno;
    }
    errno = error;
    return synced;
}

int why_not_replaceable(const std::string& name)
{
    std::string folder = folder_of(name);
    struct stat where {}, there {};
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 || stat(folder.c_str(), &where) != 0)
        return EACCES;
    if (lstat(name.c_str(), &there) != 0)
        return 0;
    uid_t self = geteuid();
    bool removable = (where.st_mode & S_ISVTX) == 0 || self == 0 || self == there.st_uid || self == where.st_uid;
    return removable ? 0 : EPERM;
}

bool within_size_limit(off_t size)
{
    rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           static_cast<rlim_t>(size) <= limit.rlim_cur;
}

mode_t less_umask(mode_t bits)
{
    mode_t mask = umask(0);
    umask(mask);
    return bits & ~mask;
}
