// The POSIX layer's parts on any POSIX.1-2008 system (macOS, FreeBSD,
// OpenBSD and others): only POSIX calls, and the few a system documents
// where configure found them (VOXA_HAVE_...). How each promise of the write
// is kept here:
//   - the old file becomes the backup without a rename that swaps: a second
//     name of the old file is made first, the new file is renamed over the
//     file's name, and that second name is then renamed to the backup's, so
//     that the file's name always leads to the old file or the new one, and
//     the backup's name never to the file itself;
//   - a new name that must not replace another is made with link(), which
//     fails when the name is taken, and the old one then removed;
//   - a copy is made by reading and writing, with nothing shared;
//   - a file's birth, where the system keeps it (st_birthtim), tells a new
//     file from an old one that had its number; elsewhere it cannot;
//   - no extended attributes are copied, and a write keeps no records on
//     files (its marks are files of their own);
//   - the write lock is flock() where the system has it, else a lock of the
//     whole file by fcntl(), which the system drops when any descriptor of
//     the file is closed (a rewrite in place closes its own at its end);
//   - the disk is flushed by fsync(), or by F_FULLFSYNC where the system has
//     it (macOS, whose fsync stops at the drive's cache);
//   - holes are passed where SEEK_DATA and SEEK_HOLE are defined;
//   - the large buffer is an anonymous mapping where the system has one, else
//     plain zeroed memory.
#include "posix.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#ifdef VOXA_HAVE_FLOCK
#include <sys/file.h>
#endif

namespace sys::posix {

namespace {

int64_t nanoseconds(const struct timespec& t)
{
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

} // namespace

bool stat_file(int at, const char* name, file_info& info, bool follow)
{
    struct stat s {};
    int done = name == nullptr ? fstat(at, &s) : fstatat(at, name, &s, follow ? 0 : AT_SYMLINK_NOFOLLOW);
    if (done != 0)
        return failed();
    info = info_from(s);
    info.modified = nanoseconds(s.st_mtim);
    info.changed = nanoseconds(s.st_ctim);
#if defined(VOXA_HAVE_ST_BIRTHTIM)
    info.id.birth = static_cast<uint64_t>(nanoseconds(s.st_birthtim));
#elif defined(VOXA_HAVE_ST_BIRTHTIMESPEC)
    info.id.birth = static_cast<uint64_t>(nanoseconds(s.st_birthtimespec));
#endif
    return true;
}

int rename_keeping(int from, const char* a, int to, const char* b)
{
    return link_then_unlink(from, a, to, b);
}

bool exchange_supported(int folder)
{
    // The old file keeps a second name while the new one takes the first.
    long links = fpathconf(folder, _PC_LINK_MAX);
    return links < 0 || links > 1;
}

swap_result swap_names(int folder, const char* leaf, const char* target, int backup_folder, const char* backup_leaf,
                       int old, uint32_t bits, const std::string&, std::string& old_at)
{
    std::string second;
    for (int tries = 0; tries < 100; ++tries) {
        second = ".voxa-" + random_tail();
        if (linkat(folder, target, backup_folder, second.c_str(), 0) == 0)
            break;
        if (errno != EEXIST)
            return failed(), swap_result::nothing_changed;
        second.clear();
    }
    if (second.empty() || renameat(folder, leaf, folder, target) != 0) {
        failed();
        int why = errno;
        if (!second.empty())
            unlinkat(backup_folder, second.c_str(), 0);
        errno = why;
        return swap_result::nothing_changed;
    }
    // The new file has the name; the old one, now only at its second name,
    // goes to the backup's, its set-id bits cleared first.
    bool set_id = (bits & set_id_bits) != 0;
    if ((!set_id || fchmod(old, bits & ~set_id_bits) == 0) &&
        renameat(backup_folder, second.c_str(), backup_folder, backup_leaf) == 0)
        return swap_result::done;
    failed();
    old_at = second;
    return swap_result::old_left;
}

int64_t system_copy(int, int64_t, int, int64_t, int64_t)
{
    return -2; // copied by hand
}

bool share(int, int64_t, int, int64_t, int64_t, bool& can_share)
{
    can_share = false;
    errno = ENOTSUP;
    return failed();
}

bool copy_attributes(int, int)
{
    return true;
}

// No records: POSIX has no extended attributes.
bool records_supported(int)
{
    return false;
}

bool get_record(int, std::string&)
{
    errno = ENOTSUP;
    return false;
}

bool set_record(int, const std::string&)
{
    errno = ENOTSUP;
    return false;
}

int lock(int fd, bool wait)
{
#ifdef VOXA_HAVE_FLOCK
    return flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
#else
    struct flock whole {};
    // The whole file, from its start on; one that could be opened for
    // reading only takes a lock for reading, and its write fails later.
    whole.l_type = (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, wait ? F_SETLKW : F_SETLK, &whole);
#endif
}

bool lock_writes()
{
#ifdef VOXA_HAVE_FLOCK
    return false;
#else
    return true;
#endif
}

bool flush_fd(int fd)
{
#ifdef VOXA_HAVE_F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(fd) == 0;
}

int64_t seek_data(int fd, int64_t at)
{
#if defined(VOXA_HAVE_SEEK_DATA)
    return lseek(fd, static_cast<off_t>(at), SEEK_DATA);
#else
    (void)fd, (void)at;
    errno = EINVAL;
    return -1;
#endif
}

int64_t seek_hole(int fd, int64_t at)
{
#if defined(VOXA_HAVE_SEEK_DATA)
    return lseek(fd, static_cast<off_t>(at), SEEK_HOLE);
#else
    (void)fd, (void)at;
    errno = EINVAL;
    return -1;
#endif
}

void advise_sequential(int fd)
{
#ifdef VOXA_HAVE_POSIX_FADVISE
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)fd;
#endif
}

std::string own_path()
{
    return ""; // no portable way to know: the line-editing build is not looked for
}

void* reserve(size_t size)
{
#ifdef VOXA_HAVE_MAP_ANONYMOUS
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return at == MAP_FAILED ? nullptr : at;
#else
    return std::calloc(size, 1);
#endif
}

void unreserve(void* at, size_t size)
{
#ifdef VOXA_HAVE_MAP_ANONYMOUS
    munmap(at, size);
#else
    (void)size;
    std::free(at);
#endif
}

bool give_back(void*, size_t)
{
    return false; // no call of POSIX promises zeros after it: the bytes are cleared
}

void huge_pages(void*, size_t) {}

void put_bytes(FILE* out, const char* bytes, size_t n)
{
    std::fwrite(bytes, 1, n, out);
}

} // namespace sys::posix
