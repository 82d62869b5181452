// Write (w): after the confirmation, the file as it stands on disk becomes
// its backup, and the data takes the file's place. The old contents
// survive every failure, in the file or in its backup.
//
// The new file is the file's bytes before the part loaded, the data, and the
// file's bytes after that part; for a file loaded whole, just the data. It
// is written to a temporary file beside the file and renamed over it, so
// that the file is either the old one or the new one, whatever happens; the
// old file itself takes the backup's name. A file with other hard links, or
// in a folder where no new file can be made, is copied to its backup and
// rewritten in place.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.hpp"
#include "files.hpp"
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

// Writes the new file into `to`, the old bytes taken from `source`, makes
// it last and closes it; `made` receives what was written. cursor ends as
// the number of data bytes written. False on a fault, which errno tells; a
// file larger than the process may write is refused before it is touched.
bool put_new_file(editor_state& st, const new_file& f, int source, int to, bool emptied_first, struct stat& made)
{
    st.cursor = 0;
    size_t size = st.data_count > 0 ? static_cast<size_t>(st.data_count) : 0;
    off_t length = f.before + static_cast<off_t>(size) + f.after;
    size_t written = 0;
    bool ok = within_size_limit(length);
    if (!ok)
        errno = EFBIG;
    if (ok && emptied_first) {
        ok = ftruncate(to, 0) == 0;
        st.file_incomplete = true; // until the whole new file is there
    }
    ok = ok && copy_bytes(source, 0, to, 0, f.before) && write_all(to, st.edit_buffer.data(), size, f.before, written);
    st.cursor = static_cast<int32_t>(written);
    ok = ok && copy_bytes(source, f.after_at, to, f.before + static_cast<off_t>(size), f.after) &&
         ftruncate(to, length) == 0 && fsync(to) == 0 && fstat(to, &made) == 0;
    int error = errno;
    if (close(to) != 0 && ok) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

void report_write_error(const editor_state& st, int error, FILE* out)
{
    std::fprintf(out, "ERROR: can't write file %s (%s), %s...\n", st.file_name.c_str(), std::strerror(error),
                 st.file_incomplete ? "the old one is in its backup" : "the file is left as it was");
}

// The write went through: what is on disk now is what a later write
// compares with, and the data is the part of it that the data replaces.
void written_whole(editor_state& st, const struct stat& made)
{
    st.file_incomplete = false;
    st.window.file_size = made.st_size;
    st.window.file_time = made.st_mtim;
    st.window.length = std::max(0, st.data_count);
}

bool is_folder(const std::string& name)
{
    struct stat there {};
    return lstat(name.c_str(), &there) == 0 && S_ISDIR(there.st_mode);
}

// Frees the backup's name: whatever holds it (a link to another file, a
// named pipe) is removed, never written through. False when the name is a
// folder's, or cannot be removed.
bool free_backup_name(const std::string& backup)
{
    if (is_folder(backup))
        return false;
    return unlink(backup.c_str()) == 0 || errno == ENOENT;
}

// Copies the file to a new file at its backup name, with the file's
// permission bits; where the folder does not let the name be freed, to the
// plain file of one link that holds it. False, with a message, when the
// backup could not be made whole.
bool copy_to_backup(int from, const struct stat& info, const std::string& backup, FILE* out)
{
    bool made = free_backup_name(backup);
    int to = made ? open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                  : is_folder(backup) ? -1 : open_plain_file(backup);
    if (to < 0) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
        return false;
    }
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

// Makes the backup of a file that a rename is about to replace: the old
// file itself takes the backup's name by a second link, so nothing is
// copied. Where no link can be made (another file system, or one without
// hard links), a copy.
bool link_to_backup(int from, const struct stat& info, const std::string& backup, FILE* out)
{
    std::string self = "/proc/self/fd/" + std::to_string(from);
    if (free_backup_name(backup) && linkat(AT_FDCWD, self.c_str(), AT_FDCWD, backup.c_str(), AT_SYMLINK_FOLLOW) == 0 &&
        fsync(from) == 0)
        return true;
    return copy_to_backup(from, info, backup, out);
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
    if (d.fd < 0)
        std::fprintf(out, "Can't open file %s.\n", name.c_str());
    return d.fd >= 0;
}

// Writes the new file beside the old one, makes the backup (`old` is
// nullptr when there is none to make), and renames the new file over the
// old: the file is either the old one or the new one, whatever happens.
bool replace_by_rename(editor_state& st, int from, const struct stat* old, const std::string& backup,
                       destination& d, FILE* out)
{
    std::fprintf(out, "Please Wait... Writing new file %s. \n", st.file_name.c_str());
    // A file that a failed rewrite in place left incomplete: the bytes
    // around the data come from its backup.
    int source = from;
    if (st.file_incomplete && !st.window.whole_file)
        source = open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat made {};
    bool ok = (source >= 0 || st.window.whole_file) &&
              put_new_file(st, layout(st, old != nullptr ? old->st_size : 0), source, d.fd, false, made);
    int error = errno;
    if (source != from && source >= 0)
        close(source);
    if (!ok) {
        if (source < 0 && !st.window.whole_file)
            close(d.fd);
        unlink(d.temp.c_str());
        report_write_error(st, error, out);
        return false;
    }
    bool linked = old != nullptr && !st.file_incomplete;
    if (linked && !link_to_backup(from, *old, backup, out)) {
        unlink(d.temp.c_str());
        return false;
    }
    if (rename(d.temp.c_str(), d.target.c_str()) != 0) {
        error = errno;
        unlink(d.temp.c_str());
        if (linked)
            unlink(backup.c_str()); // it is the file itself, which stays as it was
        report_write_error(st, error, out);
        return false;
    }
    sync_folder(d.target);
    written_whole(st, made);
    return true;
}

// Rewrites the file itself, whose other hard links see the new bytes: the
// backup is copied first, and the bytes around the data come from it.
bool rewrite_in_place(editor_state& st, int from, const struct stat& old, const std::string& backup,
                      destination& d, FILE* out)
{
    if (!st.file_incomplete && !copy_to_backup(from, old, backup, out)) {
        close(d.fd);
        return false;
    }
    std::fprintf(out, "Please Wait... Writing new file %s. \n", st.file_name.c_str());
    int source = st.window.whole_file ? -1 : open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat made {};
    bool ok = (source >= 0 || st.window.whole_file) &&
              put_new_file(st, layout(st, old.st_size), source, d.fd, true, made);
    int error = errno;
    if (source >= 0)
        close(source);
    else if (!st.window.whole_file)
        close(d.fd);
    if (!ok) {
        report_write_error(st, error, out);
        return false;
    }
    written_whole(st, made);
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
    destination d;
    return open_destination(st, nullptr, d, out) && replace_by_rename(st, -1, nullptr, "", d, out);
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
    destination d;
    if (const char* why = refusal(st, info)) {
        std::fprintf(out, why, name.c_str());
    } else if (same_file(name, backup)) {
        std::fprintf(out, "ERROR: backup %s is the file itself, not written...\n", backup.c_str());
    } else if (is_folder(backup)) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
    } else {
        if (st.file_incomplete)
            std::fprintf(out, "Backup %s kept: it holds the file as it was before the failed write. \n",
                         backup.c_str());
        else
            std::fprintf(out, "Please Wait... Backing up current file to %s. \n", backup.c_str());
        // Every read of the backup's byte-by-byte copy counts, the one that
        // meets the end included, whether or not a copy is made.
        if (!st.file_incomplete)
            st.addr_counter = wrap_add(st.addr_counter, static_cast<int64_t>(info.st_size) + 1);
        if (open_destination(st, &info, d, out))
            ok = d.in_place ? rewrite_in_place(st, from, info, backup, d, out)
                            : replace_by_rename(st, from, &info, backup, d, out);
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
