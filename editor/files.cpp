// Landing a file: the write of the editor and the copy tool share these.
#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <utility>

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
unsigned char old_room[1 << 18]; // old bytes, to compare new ones with

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
constexpr off_t share_piece = off_t{1} << 30; // the file system's clones, a piece at a time

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

// The block that the file system shares whole, as the file's preferred
// size of a write tells it.
off_t block_size(int fd)
{
    struct stat info {};
    off_t size = fstat(fd, &info) == 0 ? info.st_blksize : 0;
    return size >= 512 && size <= (off_t{1} << 20) && (size & (size - 1)) == 0 ? size : 4096;
}

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only: a hole stays a hole.
bool copy_runs(int from, off_t at, int to, off_t to_at, off_t size)
{
    off_t end = at + size;
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

// Makes [at, at + size) of `from` the same blocks as [to_at, to_at + size)
// of `to`, a piece at a time: nothing is copied and no room is taken. The
// bytes shared, fewer than `size` when the file system cannot share them
// (`sharing` is false then), or -1 on a fault.
off_t share(int from, off_t at, int to, off_t to_at, off_t size, bool& sharing)
{
    off_t done = 0;
    while (sharing && done < size) {
        off_t n = std::min(size - done, share_piece);
        file_clone_range range{from, static_cast<__u64>(at + done), static_cast<__u64>(n),
                               static_cast<__u64>(to_at + done)};
        if (ioctl(to, FICLONERANGE, &range) == 0) {
            done += n;
            advance(n);
        } else if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EXDEV || errno == EINVAL || errno == ENOSYS) {
            sharing = false;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return done;
}

// copy_bytes, sharing whole blocks that land on whole blocks while
// `sharing` says the file system can; the edges are copied. Where nothing
// can be shared, the bytes are copied in one piece, as the kernel copies
// them fastest.
bool copy_or_share(int from, off_t at, int to, off_t to_at, off_t size, bool& sharing)
{
    off_t end = at + size;
    struct stat info {};
    if (size <= 0)
        return true;
    if (fstat(from, &info) != 0 || info.st_size < end)
        return shorter();
    off_t block = block_size(from);
    off_t first = (at + block - 1) / block * block;
    off_t last = end == info.st_size ? end : end - end % block; // a file's last block is shared whole
    off_t shared = 0;
    if (sharing && (to_at - at) % block == 0 && first < last)
        shared = share(from, first, to, to_at + (first - at), last - first, sharing);
    if (shared <= 0)
        return shared == 0 && copy_runs(from, at, to, to_at, size);
    // A clone stops silently at the end of a file that shrank meanwhile.
    if (fstat(from, &info) != 0 || info.st_size < first + shared)
        return shorter();
    off_t rest = first + shared;
    return copy_runs(from, at, to, to_at, first - at) && copy_runs(from, rest, to, to_at + (rest - at), end - rest);
}

bool read_whole(int fd, unsigned char* into, size_t size, off_t at)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, into + got, size - got, at + static_cast<off_t>(got));
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n == 0)
            return shorter();
        else if (errno != EINTR)
            return false;
    }
    return true;
}

const unsigned char zero_block[1 << 12] = {};

bool all_zero(const unsigned char* bytes, size_t size)
{
    for (size_t at = 0; at < size; at += sizeof zero_block)
        if (std::memcmp(bytes + at, zero_block, std::min(size - at, sizeof zero_block)) != 0)
            return false;
    return true;
}

// The file that write_over makes, in order of offsets: a run of old bytes
// or of new ones is gathered block by block, and landed when a block of the
// other kind comes.
struct overlay {
    int from, to;
    const unsigned char* bytes;
    off_t at, end;       // where the new bytes go
    bool sharing = true; // until the file system says it cannot share
    bool old = true;     // the run gathered is of old bytes
    off_t start = 0;     // where it starts
    size_t written = 0;  // new bytes in place, in order

    // Lands the run up to `upto`.
    bool land(off_t upto)
    {
        off_t run = std::exchange(start, upto);
        size_t put = 0;
        bool ok = old ? copy_or_share(from, run, to, run, upto - run, sharing)
                      : write_all(to, bytes + (run - at), static_cast<size_t>(upto - run), run, put);
        off_t in_place = ok ? upto : run + static_cast<off_t>(put);
        written = static_cast<size_t>(std::clamp(in_place, at, end) - at);
        return ok;
    }
    // The block at `block_at` is of old bytes, or of new ones.
    bool next(off_t block_at, bool is_old)
    {
        if (is_old == old)
            return true;
        bool ok = land(block_at);
        old = is_old;
        return ok;
    }
};

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
    bool sharing = true;
    return copy_or_share(from, at, to, to_at, size, sharing);
}

bool set_size(int fd, off_t size)
{
    struct stat info {};
    return (fstat(fd, &info) == 0 && info.st_size == size) || ftruncate(fd, size) == 0;
}

bool write_over(int from, int to, off_t length, const unsigned char* bytes, size_t size, off_t at, size_t& written)
{
    overlay o{from, to, bytes, at, at + static_cast<off_t>(size)};
    off_t block = block_size(to);
    off_t data = -1, data_end = -1; // the old file's next run of data
    auto next_data = [&](off_t from_at) {
        data = lseek(from, from_at, SEEK_DATA);
        data_end = data < 0 ? o.end : lseek(from, data, SEEK_HOLE);
        if (data < 0)
            data = errno == ENXIO ? o.end : from_at; // nothing but a hole to the end; or no holes known
        if (data_end < 0 || data_end > o.end)
            data_end = o.end;
    };
    bool ok = true;
    for (off_t pos = at; ok && pos < o.end;) {
        off_t chunk_end = std::min(o.end, pos - pos % block + static_cast<off_t>(sizeof old_room));
        if (pos >= data_end)
            next_data(pos);
        ok = data >= chunk_end || read_whole(from, old_room, static_cast<size_t>(chunk_end - pos), pos);
        for (off_t piece = pos; ok && piece < chunk_end;) {
            off_t piece_end = std::min(chunk_end, piece - piece % block + block);
            if (piece >= data_end)
                next_data(piece);
            const unsigned char* mine = bytes + (piece - at);
            size_t n = static_cast<size_t>(piece_end - piece);
            bool hole = piece_end <= data; // reads as zeros
            bool same = hole ? all_zero(mine, n) : std::memcmp(mine, old_room + (piece - pos), n) == 0;
            // Where nothing can be shared, old data costs what writing the same bytes costs.
            ok = o.next(piece, same && (hole || o.sharing));
            piece = piece_end;
        }
        pos = chunk_end;
    }
    ok = ok && o.next(o.end, true) && o.land(length);
    written = o.written;
    return ok;
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
