// The system layer on POSIX: Linux, the BSDs, macOS. What differs among
// them is in linux.cpp or portable.cpp.
#include "posix.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <utility>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace sys {

namespace {

int last_error = 0;

#ifdef ENODATA
constexpr int short_code = ENODATA;
#else
constexpr int short_code = EIO;
#endif

// The errno that stands for each kind of failure.
constexpr std::pair<failure, int> codes[] = {{failure::not_found, ENOENT},     {failure::exists, EEXIST},
                                             {failure::busy, ETXTBSY},         {failure::interrupted, EINTR},
                                             {failure::too_large, EFBIG},      {failure::short_source, short_code}};

int fd_of(handle h)
{
    return static_cast<int>(h);
}

} // namespace

int posix::link_then_unlink(int from, const char* a, int to, const char* b)
{
    if (linkat(from, a, to, b, 0) != 0)
        return -1;
    if (unlinkat(from, a, 0) == 0)
        return 0;
    int why = errno;
    unlinkat(to, b, 0);
    errno = why;
    return -1;
}

bool posix::failed()
{
    last_error = errno;
    return false;
}

std::string failure_text()
{
    return std::strerror(last_error);
}

bool failed_with(failure kind)
{
    for (auto [k, code] : codes)
        if (last_error == code)
            return k == kind;
    return kind == failure::other;
}

bool fail(failure kind)
{
    last_error = EIO;
    for (auto [k, code] : codes)
        if (k == kind)
            last_error = code;
    return false;
}

file_info posix::info_from(const struct stat& s)
{
    file_info info;
    info.id = {static_cast<uint64_t>(s.st_dev), static_cast<uint64_t>(s.st_ino), 0};
    info.kind = S_ISREG(s.st_mode)    ? file_kind::regular
                : S_ISDIR(s.st_mode)  ? file_kind::folder
                : S_ISLNK(s.st_mode)  ? file_kind::link
                : S_ISFIFO(s.st_mode) ? file_kind::pipe
                : S_ISSOCK(s.st_mode) ? file_kind::pipe
                                      : file_kind::device;
    info.size = static_cast<int64_t>(s.st_size);
    info.mode = static_cast<uint32_t>(s.st_mode & 07777);
    info.links = static_cast<uint32_t>(s.st_nlink);
    info.owner = static_cast<uint32_t>(s.st_uid);
    info.group = static_cast<uint32_t>(s.st_gid);
    return info;
}

// ---------------------------------------------------------------------------
// Files.

handle open_to_read(const std::string& name, bool wait)
{
    int fd = open(name.c_str(), O_RDONLY | (wait ? 0 : O_NONBLOCK) | O_CLOEXEC);
    if (fd < 0) {
        posix::failed();
        return no_handle;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool info_of(handle file, file_info& info)
{
    return posix::stat_file(fd_of(file), nullptr, info, true);
}

bool info_of_name(const std::string& name, file_info& info, bool follow)
{
    return posix::stat_file(AT_FDCWD, name.c_str(), info, follow);
}

bool exists(const std::string& name)
{
    return access(name.c_str(), F_OK) == 0;
}

bool close_file(handle file)
{
    return close(fd_of(file)) == 0 || posix::failed();
}

int64_t read_some(handle file, void* into, size_t n)
{
    for (;;) {
        ssize_t got = read(fd_of(file), into, n);
        if (got >= 0)
            return got;
        if (errno != EINTR) {
            posix::failed();
            return -1;
        }
    }
}

bool read_at(handle file, void* into, size_t n, int64_t at)
{
    auto* bytes = static_cast<unsigned char*>(into);
    size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd_of(file), bytes + got, n - got, static_cast<off_t>(at + static_cast<int64_t>(got)));
        if (r > 0)
            got += static_cast<size_t>(r);
        else if (r == 0)
            return fail(failure::short_source);
        else if (errno != EINTR)
            return posix::failed();
    }
    return true;
}

bool write_at(handle file, const void* bytes, size_t n, int64_t at, size_t& written)
{
    const auto* from = static_cast<const unsigned char*>(bytes);
    written = 0;
    while (written < n) {
        ssize_t put = pwrite(fd_of(file), from + written, n - written, static_cast<off_t>(at + static_cast<int64_t>(written)));
        if (put > 0)
            written += static_cast<size_t>(put);
        else if (put == 0 || errno != EINTR)
            return put == 0 ? fail(failure::other) : posix::failed();
    }
    return true;
}

int64_t position(handle file)
{
    off_t at = lseek(fd_of(file), 0, SEEK_CUR);
    if (at < 0)
        posix::failed();
    return at;
}

bool move_to(handle file, int64_t at)
{
    return lseek(fd_of(file), static_cast<off_t>(at), SEEK_SET) == static_cast<off_t>(at) || posix::failed();
}

int64_t data_from(handle file, int64_t at)
{
    int64_t data = posix::seek_data(fd_of(file), at);
    if (data >= 0)
        return data;
    if (errno == ENXIO) { // nothing but a hole from here to the end
        file_info info;
        return info_of(file, info) ? std::max(at, info.size) : at;
    }
    return at; // no holes known here: all of it is data
}

int64_t hole_from(handle file, int64_t at)
{
    int64_t hole = posix::seek_hole(fd_of(file), at);
    if (hole >= 0)
        return hole;
    file_info info;
    return info_of(file, info) ? std::max(at, info.size) : at;
}

void read_ahead(handle file)
{
    posix::advise_sequential(fd_of(file));
}

bool set_size(handle file, int64_t size)
{
    file_info info;
    if (info_of(file, info) && info.size == size)
        return true;
    return ftruncate(fd_of(file), static_cast<off_t>(size)) == 0 || posix::failed();
}

bool flush(handle file)
{
    return posix::flush_fd(fd_of(file)) || posix::failed();
}

int64_t block_size(handle file)
{
    struct stat info {};
    int64_t size = fstat(fd_of(file), &info) == 0 ? static_cast<int64_t>(info.st_blksize) : 0;
    return size >= 512 && size <= (int64_t{1} << 20) && (size & (size - 1)) == 0 ? size : 4096;
}

int64_t copy_in_system(handle from, int64_t at, handle to, int64_t to_at, int64_t n)
{
    return posix::system_copy(fd_of(from), at, fd_of(to), to_at, n);
}

bool share_blocks(handle from, int64_t at, handle to, int64_t to_at, int64_t n, bool& can_share)
{
    return posix::share(fd_of(from), at, fd_of(to), to_at, n, can_share);
}

// ---------------------------------------------------------------------------
// Names and folders.

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

std::string join(const std::string& folder, const std::string& leaf)
{
    return folder.empty() || folder.back() == '/' ? folder + leaf : folder + "/" + leaf;
}

size_t character_at(const std::string&, size_t)
{
    return 1;
}

std::string real_path(const std::string& name)
{
    char* real = realpath(name.c_str(), nullptr);
    std::string target = real != nullptr ? real : name;
    std::free(real);
    return target;
}

bool open_folder(const std::string& path, folder& into)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return posix::failed();
    into = {fd, path};
    return true;
}

void close_folder(folder& f)
{
    if (f.h != no_handle)
        close(fd_of(f.h));
    f.h = no_handle;
}

bool flush_folder(const folder& f)
{
    return fsync(fd_of(f.h)) == 0 || posix::failed();
}

bool info_in(const folder& f, const std::string& leaf, file_info& info, bool follow)
{
    return posix::stat_file(fd_of(f.h), leaf.c_str(), info, follow);
}

namespace {

handle open_regular(const folder& f, const std::string& leaf, int access)
{
    int fd = openat(fd_of(f.h), leaf.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        posix::failed();
        return no_handle;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        fail(failure::other);
        return no_handle;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

handle open_in(const folder& f, const std::string& leaf, bool for_writing)
{
    return open_regular(f, leaf, for_writing ? O_WRONLY : O_RDONLY);
}

handle open_to_lock(const folder& f, const std::string& leaf)
{
    // A file this process may not write is read all the same: the write
    // then says why it cannot go on.
    handle h = posix::lock_writes() ? open_regular(f, leaf, O_RDWR) : no_handle;
    return h != no_handle ? h : open_regular(f, leaf, O_RDONLY);
}

handle new_temporary(const folder& f, std::string& leaf)
{
    for (int tries = 0; tries < 100; ++tries) {
        leaf = ".voxa-" + random_tail();
        int fd = openat(fd_of(f.h), leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            posix::failed();
            return no_handle;
        }
    }
    fail(failure::exists);
    return no_handle;
}

bool rename_in(const folder& from, const std::string& leaf, const folder& to, const std::string& new_leaf,
               rename_how how)
{
    int a = fd_of(from.h), b = fd_of(to.h);
    int done = how == rename_how::keep_existing ? posix::rename_keeping(a, leaf.c_str(), b, new_leaf.c_str())
                                                : renameat(a, leaf.c_str(), b, new_leaf.c_str());
    return done == 0 || posix::failed();
}

bool remove_in(const folder& f, const std::string& leaf)
{
    return unlinkat(fd_of(f.h), leaf.c_str(), 0) == 0 || errno == ENOENT || posix::failed();
}

std::vector<std::string> names_in(const folder& f, std::string_view prefix)
{
    std::vector<std::string> names;
    int fd = openat(fd_of(f.h), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* list = fd < 0 ? nullptr : fdopendir(fd);
    if (list == nullptr) {
        if (fd >= 0)
            close(fd);
        return names;
    }
    while (const dirent* e = readdir(list))
        if (std::string_view(e->d_name).substr(0, prefix.size()) == prefix)
            names.emplace_back(e->d_name);
    closedir(list);
    return names;
}

bool records_kept(const folder& f)
{
    return posix::records_supported(fd_of(f.h));
}

bool read_record(const folder& f, const std::string& leaf, std::string& text, file_info& info)
{
    handle h = open_regular(f, leaf, O_RDONLY);
    if (h == no_handle)
        return false;
    bool got = posix::get_record(fd_of(h), text) && posix::stat_file(fd_of(h), nullptr, info, false);
    if (!got)
        posix::failed();
    close(fd_of(h));
    return got;
}

bool write_record(handle file, const std::string& text)
{
    return posix::set_record(fd_of(file), text) || posix::failed();
}

bool can_exchange(const folder& f)
{
    return posix::exchange_supported(fd_of(f.h));
}

swap_result swap_in(const folder& f, const std::string& leaf, const std::string& target, const folder& backup_place,
                    const std::string& backup_leaf, handle old, uint32_t bits, const std::string& record,
                    std::string& old_at)
{
    return posix::swap_names(fd_of(f.h), leaf.c_str(), target.c_str(), fd_of(backup_place.h), backup_leaf.c_str(),
                             fd_of(old), bits, record, old_at);
}

replace_right may_replace(const folder& f, const std::string& leaf)
{
    struct stat where {}, there {};
    if (faccessat(fd_of(f.h), ".", W_OK | X_OK, AT_EACCESS) != 0 || fstat(fd_of(f.h), &where) != 0) {
        posix::failed();
        return replace_right::folder_refuses;
    }
    if (fstatat(fd_of(f.h), leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
        return replace_right::may;
    uid_t self = geteuid();
    bool removable = (where.st_mode & S_ISVTX) == 0 || self == 0 || self == there.st_uid || self == where.st_uid;
    return removable ? replace_right::may : replace_right::held_by_other;
}

bool may_write(const folder& f, const std::string& leaf)
{
    return faccessat(fd_of(f.h), leaf.c_str(), W_OK, AT_EACCESS) == 0 || posix::failed();
}

// ---------------------------------------------------------------------------
// The write lock.

lock_result try_lock(handle file)
{
    if (posix::lock(fd_of(file), false) == 0)
        return lock_result::locked;
    posix::failed();
    return errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES ? lock_result::busy : lock_result::failed;
}

bool wait_lock(handle file)
{
    for (;;) {
        if (posix::lock(fd_of(file), true) == 0)
            return true;
        if (errno != EINTR)
            return posix::failed();
        if (take_interrupt() || stop_asked())
            return fail(failure::interrupted);
    }
}

// ---------------------------------------------------------------------------
// What a file carries.

uint32_t user()
{
    return static_cast<uint32_t>(geteuid());
}

namespace {

bool member_of(gid_t group)
{
    if (getegid() == group)
        return true;
    std::vector<gid_t> groups(static_cast<size_t>(std::max(0, getgroups(0, nullptr))));
    int n = groups.empty() ? 0 : getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(n, 0), group) != groups.begin() + std::max(n, 0);
}

} // namespace

bool can_give_owner(const file_info& of)
{
    uid_t self = geteuid();
    return self == 0 || (self == of.owner && member_of(static_cast<gid_t>(of.group)));
}

bool give_attributes(handle to, handle from, const file_info& info, uint32_t bits, owner_rule rule)
{
    int fd = fd_of(to);
    if (fchown(fd, static_cast<uid_t>(info.owner), static_cast<gid_t>(info.group)) != 0) {
        struct stat made {};
        bool same = fstat(fd, &made) == 0 && made.st_uid == info.owner && made.st_gid == info.group;
        if (!same && rule == owner_rule::required) {
            errno = EPERM;
            return posix::failed();
        }
        // Bits meant for the file's group must not go to another one.
        if (!same && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(info.group)) != 0)
            bits &= ~uint32_t{070};
    }
    // The bits last: a change of owner clears the set-id bits, and an access
    // list copied sets the group bits from its mask.
    return (posix::copy_attributes(fd_of(from), fd) || posix::failed()) &&
           (fchmod(fd, static_cast<mode_t>(bits)) == 0 || posix::failed());
}

bool access_list_kept(handle, handle)
{
    return true; // given by give_attributes, or the write refused
}

bool set_bits(handle file, uint32_t bits)
{
    return fchmod(fd_of(file), static_cast<mode_t>(bits)) == 0 || posix::failed();
}

uint32_t less_umask(uint32_t bits)
{
    mode_t mask = umask(0);
    umask(mask);
    return bits & ~static_cast<uint32_t>(mask);
}

bool within_size_limit(int64_t size)
{
    rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           static_cast<rlim_t>(size) <= limit.rlim_cur || fail(failure::too_large);
}

// ---------------------------------------------------------------------------
// The large buffer.

void* reserve_zeroed(size_t size, size_t& reserved)
{
    reserved = size;
    return posix::reserve(size);
}

void release(void* at, size_t reserved)
{
    posix::unreserve(at, reserved);
}

bool give_back(void* at, size_t n)
{
    return posix::give_back(at, n);
}

void prefer_huge_pages(void* at, size_t n)
{
    posix::huge_pages(at, n);
}

size_t page_size()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// ---------------------------------------------------------------------------
// The process, its terminal and its signals.

namespace {

volatile sig_atomic_t interrupt_seen = 0;
volatile sig_atomic_t ending_signal = 0;
bool interrupts_caught = false;

void on_interrupt(int)
{
    interrupt_seen = 1;
}

void on_ending_signal(int number)
{
    ending_signal = number;
}

constexpr int ending_signals[] = {SIGHUP, SIGTERM, SIGINT};
struct sigaction before[3];

} // namespace

void prepare_process()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: fd
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> arguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

bool interactive()
{
    return isatty(0) && isatty(1);
}

void catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: a Ctrl-C ends the read that waits
    sigaction(SIGINT, &action, nullptr);
    interrupts_caught = true;
}

bool take_interrupt()
{
    bool seen = interrupt_seen != 0;
    interrupt_seen = 0;
    return seen;
}

int64_t read_input(void* into, size_t n, bool& interrupted)
{
    interrupted = false;
    for (;;) {
        ssize_t got = read(0, into, n);
        if (got >= 0)
            return got;
        if (errno != EINTR) {
            posix::failed();
            return -1;
        }
        if (take_interrupt()) {
            interrupted = true;
            return -1;
        }
    }
}

std::string program_folder()
{
    std::string self = posix::own_path();
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}

void run_instead(const std::string& program, char** argv)
{
    execv(program.c_str(), argv);
}

void put_bytes(FILE* out, const char* bytes, size_t n)
{
    posix::put_bytes(out, bytes, n);
}

void put_char(FILE* out, char c)
{
    putc_unlocked(c, out);
}

int64_t now_ms()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void hold_ending_signals()
{
    ending_signal = 0;
    interrupt_seen = 0;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // a wait that the signal interrupts ends
    for (size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &before[i]);
        // Ctrl-C at a terminal already stops what it interrupts, and no more.
        bool caught = ending_signals[i] == SIGINT && interrupts_caught;
        if (before[i].sa_handler != SIG_IGN && !caught)
            sigaction(ending_signals[i], &action, nullptr);
    }
}

bool stop_asked()
{
    return ending_signal != 0 || interrupt_seen != 0;
}

bool carry_on()
{
    return !stop_asked() || fail(failure::interrupted);
}

int release_ending_signals()
{
    for (size_t i = 0; i < std::size(ending_signals); ++i)
        sigaction(ending_signals[i], &before[i], nullptr);
    return static_cast<int>(ending_signal);
}

void end_by(int number)
{
    std::signal(number, SIG_DFL);
    sigset_t only {};
    sigemptyset(&only);
    sigaddset(&only, number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(number);
    std::_Exit(128 + number);
}

} // namespace sys
