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
    st.unsaved = false;
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
// backup could not be made whole; a copy larger than the process may write
// is refused before the name is touched.
bool copy_to_backup(int from, const struct stat& info, const std::string& backup, FILE* out)
{
    if (!within_size_limit(info.st_size)) {
        std::fprintf(out, "ERROR: can't write backup %s (%s), file not written...\n", backup.c_str(),
                     std::strerror(EFBIG));
        return false;
    }
    bool made = free_backup_name(backup);
    int to = made ? open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                  : is_folder(backup) ? -1 : open_plain_file(backup);
    if (to < 0) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
        return false;
    }
    // A file the process does not own keeps its bits.
    bool whole = (fchmod(to, info.st_mode & 0777) == 0 || !made) && copy_bytes(from, 0, to, 0, info.st_size) &&
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

// Where the bytes around the data come from, and how many there are.
struct old_bytes {
    int fd = -1;
    off_t size = 0;
};

// The backup as the source of the old bytes, for a file that is emptied
// first or that a failed write left incomplete. A kept backup must be the
// file as it was loaded, or as last written. False, with a message, when it
// cannot serve.
bool from_backup(const editor_state& st, const std::string& backup, old_bytes& old, FILE* out)
{
    old.fd = open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (old.fd < 0 || fstat(old.fd, &info) != 0) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
        return false;
    }
    old.size = info.st_size;
    if (st.file_incomplete && info.st_size != st.window.file_size) {
        std::fprintf(out, "ERROR: %s changed since it was loaded, not written...\n", backup.c_str());
        return false;
    }
    return true;
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

void progress(FILE* out, const char* format, const std::string& name)
{
    std::fprintf(out, format, name.c_str());
    std::fflush(out); // shown while the write goes on, whatever ends it
}

// Puts the new file, complete at its temporary name, in the old one's
// place, and the old file in the backup's: the two are exchanged, and the
// old file, now at the temporary name, is renamed to the backup's. At no
// moment is the file missing, nor the backup another name of it. Where the
// file system cannot exchange, or the backup's name cannot take the old
// file, the old file is copied to the backup. False, with a message, on a
// fault; the file is then as it was, and the temporary file gone.
bool swap_in(const editor_state& st, int from, const struct stat& old, const std::string& backup,
             const destination& d, FILE* out)
{
    bool exchanged = renameat2(AT_FDCWD, d.temp.c_str(), AT_FDCWD, d.target.c_str(), RENAME_EXCHANGE) == 0;
    if (exchanged && !is_folder(backup) && rename(d.temp.c_str(), backup.c_str()) == 0)
        return true;
    bool copied = copy_to_backup(from, old, backup, out);
    if (!exchanged) {
        if (copied && rename(d.temp.c_str(), d.target.c_str()) == 0)
            return true;
        if (copied)
            report_write_error(st, errno, out);
        unlink(d.temp.c_str());
        return false;
    }
    // Exchanged: the temporary name holds the old file. With its copy made
    // it goes; without, it goes back in its place.
    if (!copied && renameat2(AT_FDCWD, d.temp.c_str(), AT_FDCWD, d.target.c_str(), RENAME_EXCHANGE) != 0) {
        std::fprintf(out, "ERROR: the old file is kept as %s...\n", d.temp.c_str());
        return false;
    }
    unlink(d.temp.c_str());
    return copied;
}

// Writes the new file beside the old one and puts it in the old one's
// place (`old` is nullptr when there is no file), the old file becoming
// the backup: the file is either the old one or the new one, whatever
// happens.
bool replace_by_rename(editor_state& st, int from, const struct stat* old, const std::string& backup,
                       destination& d, FILE* out)
{
    progress(out, "Please Wait... Writing new file %s. \n", st.file_name);
    old_bytes source{from, old != nullptr ? old->st_size : 0};
    bool kept = st.file_incomplete && !st.window.whole_file;
    struct stat made {};
    bool written = false;
    if (kept && !from_backup(st, backup, source, out))
        close(d.fd);
    else if (put_new_file(st, layout(st, source.size), source.fd, d.fd, false, made))
        written = true;
    else
        report_write_error(st, errno, out);
    if (kept && source.fd >= 0)
        close(source.fd);
    if (!written) {
        unlink(d.temp.c_str());
        return false;
    }
    if (old != nullptr && !st.file_incomplete) {
        if (!swap_in(st, from, *old, backup, d, out))
            return false;
    } else if (rename(d.temp.c_str(), d.target.c_str()) != 0) {
        report_write_error(st, errno, out);
        unlink(d.temp.c_str());
        return false;
    }
    sync_folder(d.target);
    if (old != nullptr && !same_folder(d.target, backup))
        sync_folder(backup);
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
    progress(out, "Please Wait... Writing new file %s. \n", st.file_name);
    old_bytes source;
    struct stat made {};
    bool written = false;
    if (!st.window.whole_file && !from_backup(st, backup, source, out))
        close(d.fd);
    else if (put_new_file(st, layout(st, source.size), source.fd, d.fd, true, made))
        written = true;
    else
        report_write_error(st, errno, out);
    if (source.fd >= 0)
        close(source.fd);
    if (written)
        written_whole(st, made);
    return written;
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
    // Not waiting for a writer should the name have become a named pipe.
    int from = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
            progress(out, "Please Wait... Backing up current file to %s. \n", backup);
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
