// Write (w): after the confirmation, copy the file as it stands on disk to
// its backup name, then put the data in the file's place. The old contents
// survive every failure, in the file or in its backup.
//
// The new file is the file's bytes before the part loaded, the data, and the
// file's bytes after that part; for a file loaded whole, just the data. It
// is written to a temporary file beside the file and renamed over it, so
// that the file is either the old one or the new one, whatever happens. A
// file with other hard links, or in a folder where no file can be made, is
// rewritten in place, from its backup.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.hpp"
#include "numbers.hpp"

extern const bool expert_user; // user_level.cpp: the build that writes without asking

namespace {

constexpr size_t name_part_max = 255; // bytes in one part of a path

bool confirmed(line_input& in, FILE* out)
{
    std::fputs("About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n", out);
    std::string answer; // the end of the input gives an empty answer
    read_line(in, "", answer, line_max);
    if (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y'))
        return true;
    std::fputs("Update declined by user...\n", out);
    return false;
}

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool same_inode(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && same_inode(sa, sb);
}

bool same_folder(const std::string& a, const std::string& b)
{
    std::string fa = folder_of(a), fb = folder_of(b);
    return fa == fb || same_file(fa, fb);
}

// Why the file as it stands cannot take the data back; nullptr when it can.
const char* refusal(const editor_state& st, const struct stat& now)
{
    if (!S_ISREG(now.st_mode))
        return "ERROR: %s is not a regular file, not written...\n";
    const loaded_window& w = st.window;
    bool changed = now.st_size != w.file_size || now.st_mtim.tv_sec != w.file_time.tv_sec ||
                   now.st_mtim.tv_nsec != w.file_time.tv_nsec;
    if (!w.whole_file && !st.file_incomplete && changed)
        return "ERROR: %s changed since it was loaded, not written...\n";
    return nullptr;
}

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

unsigned char copy_room[1 << 16];

// Copies [at, at + size) of `from` to `to` at `to_at`, by the kernel where
// it can. False on a fault, with errno set; a source that ends early is
// copied as far as it goes.
bool copy_run(int from, off_t at, int to, off_t to_at, off_t size)
{
    loff_t in = at, out = to_at;
    off_t end = at + size;
    while (in < end) {
        ssize_t n = copy_file_range(from, &in, to, &out, static_cast<size_t>(std::min<off_t>(end - in, 1 << 30)), 0);
        if (n > 0)
            continue;
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return false;
        // This file system pair cannot: through our own buffer instead.
        while (in < end) {
            ssize_t got = pread(from, copy_room, static_cast<size_t>(std::min<off_t>(end - in, sizeof copy_room)), in);
            if (got == 0)
                return true;
            size_t put = 0;
            if (got < 0 ? errno != EINTR : !write_all(to, copy_room, static_cast<size_t>(got), out, put))
                return false;
            in += std::max<ssize_t>(got, 0);
            out += std::max<ssize_t>(got, 0);
        }
    }
    return true;
}

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only: a hole in a sparse file stays a hole, and costs nothing.
bool copy_bytes(int from, off_t at, int to, off_t to_at, off_t size)
{
    off_t end = at + size;
    while (at < end) {
        off_t data = lseek(from, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            return true; // nothing but a hole up to the end
        off_t hole = data < 0 ? end : lseek(from, data, SEEK_HOLE);
        if (data < 0)
            data = at; // no holes known here: copy all of it
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

// The new file: the old bytes before the data, the data, the old bytes after.
struct new_file {
    off_t before = 0;   // old bytes kept before the data
    off_t after_at = 0; // where the old bytes kept after the data start
    off_t after = 0;
};

new_file layout(const editor_state& st, off_t old_size)
{
    new_file f;
    if (st.window.whole_file)
        return f;
    f.before = std::min(st.window.start, old_size);
    f.after_at = std::min(st.window.start + st.window.length, old_size);
    f.after = old_size - f.after_at;
    return f;
}

// Writes the new file into `to`, the old bytes taken from `source`.
// cursor ends as the number of data bytes written.
bool put_new_file(editor_state& st, const new_file& f, int source, int to)
{
    st.cursor = 0;
    size_t size = st.data_count > 0 ? static_cast<size_t>(st.data_count) : 0;
    size_t written = 0;
    bool ok = copy_bytes(source, 0, to, 0, f.before) &&
              write_all(to, st.edit_buffer.data(), size, f.before, written);
    st.cursor = static_cast<int32_t>(written);
    off_t length = f.before + static_cast<off_t>(size) + f.after;
    return ok && copy_bytes(source, f.after_at, to, f.before + static_cast<off_t>(size), f.after) &&
           ftruncate(to, length) == 0 && fsync(to) == 0;
}

void sync_folder(const std::string& path)
{
    int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

// Opens a plain file of one link for writing, emptied, without following a
// link; -1 for anything else.
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

// Opens the backup: a new file takes over its name, so that whatever held
// the name (a link to another file, a named pipe) is replaced, never
// written through. Where the folder does not let the name be replaced, a
// plain file of one link that holds it is written instead. `made` tells
// whether the file is new.
int open_backup(const std::string& backup, bool& made)
{
    made = false;
    struct stat there {};
    if (lstat(backup.c_str(), &there) == 0) {
        if (S_ISDIR(there.st_mode))
            return -1;
        if (unlink(backup.c_str()) != 0 && errno != ENOENT)
            return S_ISREG(there.st_mode) ? open_plain_file(backup) : -1;
    }
    made = true;
    return open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

// Makes the backup, with the file's permission bits when it is new. False,
// with a message, when it could not be made whole.
bool make_backup(editor_state& st, int from, const struct stat& info, const std::string& backup, FILE* out)
{
    bool made = false;
    int to = open_backup(backup, made);
    if (to < 0) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
        return false;
    }
    std::fprintf(out, "Please Wait... Backing up current file to %s. \n", backup.c_str());
    // Every read of the copy counts, the one that meets the end included.
    st.addr_counter = wrap_add(st.addr_counter, static_cast<int64_t>(info.st_size) + 1);
    bool whole = (!made || fchmod(to, info.st_mode & 0777) == 0) && copy_bytes(from, 0, to, 0, info.st_size) &&
                 ftruncate(to, info.st_size) == 0 && fsync(to) == 0;
    int error = errno;
    if (close(to) != 0 && whole) {
        whole = false;
        error = errno;
    }
    if (!whole)
        std::fprintf(out, "ERROR: can't write backup %s (%s), file not written...\n", backup.c_str(),
                     std::strerror(error));
    return whole;
}

// The file's owner and group for the new file; false when the process may
// not give them and they differ from its own (the file is then rewritten in
// place, so that it keeps its owner).
bool keep_owner(int to, const struct stat& info)
{
    if (fchown(to, info.st_uid, info.st_gid) == 0)
        return true;
    struct stat made {};
    return fstat(to, &made) == 0 && made.st_uid == info.st_uid && made.st_gid == info.st_gid;
}

// A new file beside `target`, to be renamed over it; -1 when the folder
// does not let one be made, or it could not be given the file's owner.
int temporary_beside(const std::string& target, const struct stat* info, std::string& temp)
{
    temp = folder_of(target) + "/.voxa-XXXXXX";
    int to = mkostemp(temp.data(), O_CLOEXEC);
    if (to < 0 || info == nullptr)
        return to;
    if (keep_owner(to, *info) && fchmod(to, info->st_mode & 07777) == 0)
        return to;
    unlink(temp.c_str());
    close(to);
    return -1;
}

mode_t new_file_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The file the name stands for: a symbolic link is followed, so that the
// file it points to is replaced and the link stays.
std::string target_of(const std::string& name)
{
    char* real = realpath(name.c_str(), nullptr);
    std::string target = real != nullptr ? real : name;
    std::free(real);
    return target;
}

// Where the new file is written: a temporary file beside the file, renamed
// over it at the end, or the file itself.
struct destination {
    int fd = -1;
    bool in_place = false;
    std::string temp;
    std::string target; // the file the name stands for
};

// Opens the destination (`old` is nullptr when there is no file); false,
// with the open-failure message, when none can be opened.
bool open_destination(const editor_state& st, const struct stat* old, destination& d, FILE* out)
{
    const std::string& name = st.file_name;
    d.target = old != nullptr ? target_of(name) : name;
    bool writable = old == nullptr || faccessat(AT_FDCWD, d.target.c_str(), W_OK, AT_EACCESS) == 0;
    if (writable && (old == nullptr || old->st_nlink == 1))
        d.fd = temporary_beside(d.target, old, d.temp);
    if (writable && d.fd < 0 && old != nullptr) {
        d.in_place = true;
        d.fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (d.fd < 0) {
        std::fprintf(out, "Can't open file %s.\n", name.c_str());
        return false;
    }
    if (old == nullptr)
        fchmod(d.fd, new_file_mode());
    return true;
}

bool within_size_limit(off_t size)
{
    rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
           static_cast<rlim_t>(size) <= limit.rlim_cur;
}

// Writes the new file to the destination, closes it and puts it in place;
// false on a fault, which errno tells. `made` receives what was written.
bool write_new(editor_state& st, const new_file& f, int source, destination& d, struct stat& made)
{
    off_t size = f.before + std::max(0, st.data_count) + f.after;
    bool ok = within_size_limit(size);
    if (!ok)
        errno = EFBIG; // refused before the file is touched
    if (ok && d.in_place) {
        ok = ftruncate(d.fd, 0) == 0;
        st.file_incomplete = true; // until the whole new file is written
    }
    ok = ok && put_new_file(st, f, source, d.fd) && fstat(d.fd, &made) == 0;
    int error = errno;
    if (close(d.fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && !d.in_place && rename(d.temp.c_str(), d.target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

// Puts the new file in place of the old one (`old` is nullptr when there
// is none), the old bytes taken from `from`, the file as it is. False, with
// a message, on a fault.
bool replace_file(editor_state& st, const struct stat* old, int from, const std::string& backup, FILE* out)
{
    destination d;
    if (!open_destination(st, old, d, out))
        return false;
    std::fprintf(out, "Please Wait... Writing new file %s. \n", st.file_name.c_str());
    // The bytes around the data come from the backup when the file is
    // emptied first, or was left incomplete by a failed write.
    int source = from;
    if ((d.in_place || st.file_incomplete) && !st.window.whole_file)
        source = open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat made {};
    bool ok = source >= 0 || st.window.whole_file;
    if (ok)
        ok = write_new(st, layout(st, old != nullptr ? old->st_size : 0), source, d, made);
    else
        close(d.fd);
    int error = errno;
    if (source != from && source >= 0)
        close(source);
    if (!ok) {
        if (!d.in_place)
            unlink(d.temp.c_str());
        std::fprintf(out, "ERROR: can't write file %s (%s), %s...\n", st.file_name.c_str(), std::strerror(error),
                     st.file_incomplete ? "the old one is in its backup" : "the file is left as it was");
        return false;
    }
    st.file_incomplete = false;
    if (!d.in_place)
        sync_folder(d.target);
    st.window.file_size = made.st_size;
    st.window.file_time = made.st_mtim;
    st.window.length = std::max(0, st.data_count);
    return true;
}

// The file is gone: there is nothing to back up, and it is written anew.
bool write_anew(editor_state& st, FILE* out)
{
    if (!st.window.whole_file) {
        std::fprintf(out, "ERROR: %s changed since it was loaded, not written...\n", st.file_name.c_str());
        return false;
    }
    std::fprintf(out, "Nothing to back up: %s is gone, it is written anew. \n", st.file_name.c_str());
    return replace_file(st, nullptr, -1, "", out);
}

bool write_over(editor_state& st, FILE* out)
{
    const std::string& name = st.file_name;
    int from = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (from < 0 || fstat(from, &info) != 0) {
        std::fprintf(out, "Can't open file %s.\n", name.c_str());
        if (from >= 0)
            close(from);
        return false;
    }
    std::string backup = backup_name(name);
    bool ok = false;
    if (const char* why = refusal(st, info)) {
        std::fprintf(out, why, name.c_str());
    } else if (same_file(name, backup)) {
        std::fprintf(out, "ERROR: backup %s is the file itself, not written...\n", backup.c_str());
    } else if (st.file_incomplete) {
        std::fprintf(out, "Backup %s kept: it holds the file as it was before the failed write. \n",
                     backup.c_str());
        ok = replace_file(st, &info, from, backup, out);
    } else if (make_backup(st, from, info, backup, out)) {
        ok = replace_file(st, &info, from, backup, out);
    }
    close(from);
    return ok;
}

} // namespace

std::string backup_rule(const std::string& name)
{
    std::string backup = name;
    size_t dot = backup.find('.');
    if (dot != std::string::npos && dot + 1 < backup.size() && backup[dot + 1] != '7') {
        backup[dot + 1] = '7';
        return backup;
    }
    // No dot, a dot at the end, or x.7z, whose rule would give the name itself.
    size_t last_part = backup.size() - (backup.rfind('/') + 1);
    if (last_part + 1 > name_part_max && !backup.empty())
        backup.back() = '7';
    else
        backup += '7';
    return backup;
}

std::string backup_name(const std::string& file_name)
{
    std::string whole = backup_rule(file_name);
    if (same_folder(file_name, whole))
        return whole;
    size_t slash = file_name.rfind('/');
    return file_name.substr(0, slash + 1) + backup_rule(file_name.substr(slash + 1));
}

void write_file(editor_state& st, line_input& in, FILE* out)
{
    // A file that cannot take the data back is refused before the question;
    // one that is gone is written anew after it.
    struct stat now {};
    bool gone = false;
    if (stat(st.file_name.c_str(), &now) != 0) {
        gone = errno == ENOENT;
    } else if (const char* why = refusal(st, now)) {
        std::fprintf(out, why, st.file_name.c_str());
        st.write_failed = true;
        return;
    }
    if (!expert_user && !confirmed(in, out))
        return;
    st.write_failed = !(gone ? write_anew(st, out) : write_over(st, out));
}
