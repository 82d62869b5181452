// The POSIX layer's parts that Linux has calls of its own for: a file's
// birth (statx), renames that swap or keep (renameat2), copies in the
// kernel and blocks shared between files (copy_file_range, FICLONERANGE),
// extended attributes, flock, and the memory of the large buffer.
#include "posix.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace sys::posix {

namespace {

// The extended attribute that holds a write's record.
constexpr char record_name[] = "user.voxa";
constexpr size_t record_most = 4096;

int64_t nanoseconds(const statx_timestamp& t)
{
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

bool cannot_here(int error)
{
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTTY;
}

} // namespace

bool stat_file(int at, const char* name, file_info& info, bool follow)
{
    struct statx s {};
    int flags = name == nullptr ? AT_EMPTY_PATH : follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (statx(at, name == nullptr ? "" : name, flags, STATX_BASIC_STATS | STATX_BTIME, &s) != 0)
        return failed();
    struct stat plain {};
    plain.st_dev = makedev(s.stx_dev_major, s.stx_dev_minor);
    plain.st_ino = s.stx_ino;
    plain.st_mode = s.stx_mode;
    plain.st_nlink = s.stx_nlink;
    plain.st_uid = s.stx_uid;
    plain.st_gid = s.stx_gid;
    plain.st_size = static_cast<off_t>(s.stx_size);
    info = info_from(plain);
    info.modified = nanoseconds(s.stx_mtime);
    info.changed = nanoseconds(s.stx_ctime);
    if ((s.stx_mask & STATX_BTIME) != 0)
        info.id.birth = static_cast<uint64_t>(nanoseconds(s.stx_btime));
    return true;
}

int rename_keeping(int from, const char* a, int to, const char* b)
{
    int done = renameat2(from, a, to, b, RENAME_NOREPLACE);
    if (done != 0 && errno == EINVAL) // a file system without it
        done = link_then_unlink(from, a, to, b);
    return done;
}

bool exchange_supported(int folder)
{
    // The file systems whose renames can swap two names.
    struct statfs where {};
    if (fstatfs(folder, &where) != 0)
        return false;
    switch (static_cast<unsigned long>(where.f_type)) {
    case EXT4_SUPER_MAGIC: // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// The two names are exchanged, and the old file, now at `leaf`, is renamed
// to the backup's, its set-id bits cleared and its record set. At no moment
// is the file missing, nor the backup another name of it.
swap_result swap_names(int folder, const char* leaf, const char* target, int backup_folder, const char* backup_leaf,
                       int old, uint32_t bits, const std::string& record, std::string& old_at)
{
    if (renameat2(folder, leaf, folder, target, RENAME_EXCHANGE) != 0)
        return failed(), swap_result::nothing_changed;
    bool set_id = (bits & set_id_bits) != 0;
    bool recorded = !record.empty() && set_record(old, record);
    if ((!set_id || fchmod(old, bits & ~set_id_bits) == 0) && renameat(folder, leaf, backup_folder, backup_leaf) == 0)
        return swap_result::done;
    failed();
    int why = errno;
    // Back as it was: the old file in its place, the new one at `leaf`.
    if (recorded)
        set_record(old, "");
    if (set_id)
        fchmod(old, bits);
    bool back = renameat2(folder, leaf, folder, target, RENAME_EXCHANGE) == 0;
    errno = why;
    failed();
    if (back)
        return swap_result::backup_refused;
    old_at = leaf;
    return swap_result::old_left;
}

int64_t system_copy(int from, int64_t at, int to, int64_t to_at, int64_t n)
{
    for (;;) {
        loff_t in = at, out = to_at;
        ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<size_t>(n), 0);
        if (copied >= 0)
            return copied;
        if (errno == EINTR && !stop_asked())
            continue;
        failed();
        return cannot_here(errno) ? -2 : -1;
    }
}

bool share(int from, int64_t at, int to, int64_t to_at, int64_t n, bool& can_share)
{
    file_clone_range range{from, static_cast<__u64>(at), static_cast<__u64>(n), static_cast<__u64>(to_at)};
    for (;;) {
        if (ioctl(to, FICLONERANGE, &range) == 0)
            return true;
        if (errno == EINTR)
            continue;
        can_share = !cannot_here(errno);
        return failed();
    }
}

bool copy_attributes(int from, int to)
{
    static char names[1 << 16];
    static char value[1 << 16];
    ssize_t listed = flistxattr(from, names, sizeof names);
    if (listed < 0)
        return errno == ENOTSUP; // a file system without them
    for (const char* name = names; name < names + listed; name += std::strlen(name) + 1) {
        if (std::strcmp(name, record_name) == 0)
            continue; // a record is about the file it was set on
        ssize_t size = fgetxattr(from, name, value, sizeof value);
        if (size < 0 && errno == ENODATA)
            continue; // removed since it was listed
        if (size < 0)
            return false;
        // Those in the security namespace that the process may not set are
        // left out, as the kernel drops a file's capabilities itself when
        // another user writes it; any other that cannot be copied is a fault.
        bool security = std::strncmp(name, "security.", 9) == 0;
        if (fsetxattr(to, name, value, static_cast<size_t>(size), 0) != 0 &&
            !(security && (errno == EPERM || errno == EACCES || errno == ENOTSUP)))
            return false;
    }
    return true;
}

bool records_supported(int fd)
{
    char none;
    return fgetxattr(fd, record_name, &none, 0) >= 0 || (errno != ENOTSUP && errno != ENOSYS);
}

bool get_record(int fd, std::string& text)
{
    char value[record_most];
    ssize_t size = fgetxattr(fd, record_name, value, sizeof value);
    if (size < 0)
        return false;
    text.assign(value, static_cast<size_t>(size));
    return true;
}

bool set_record(int fd, const std::string& text)
{
    if (text.empty())
        return fremovexattr(fd, record_name) == 0 || errno == ENODATA;
    return fsetxattr(fd, record_name, text.data(), text.size(), 0) == 0;
}

int lock(int fd, bool wait)
{
    return flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
}

bool lock_writes()
{
    return false;
}

bool flush_fd(int fd)
{
    return fsync(fd) == 0;
}

int64_t seek_data(int fd, int64_t at)
{
    return lseek(fd, at, SEEK_DATA);
}

int64_t seek_hole(int fd, int64_t at)
{
    return lseek(fd, at, SEEK_HOLE);
}

void advise_sequential(int fd)
{
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::string own_path()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

void* reserve(size_t size)
{
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
}

void unreserve(void* at, size_t size)
{
    munmap(at, size);
}

bool give_back(void* at, size_t n)
{
    return madvise(at, n, MADV_DONTNEED) == 0; // a private mapping reads as zeros again
}

void huge_pages(void* at, size_t n)
{
    madvise(at, n, MADV_HUGEPAGE);
}

void put_bytes(FILE* out, const char* bytes, size_t n)
{
    fwrite_unlocked(bytes, 1, n, out);
}

} // namespace sys::posix
