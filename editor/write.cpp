// Write (w): after the confirmation, the file as it stands on disk becomes
// its backup, and the data takes the file's place. The last whole version
// of the file survives every failure and every crash, in the file or in
// its backup, and no other file is ever written.
//
// A write is made in two moves: make_plan looks at the file, its name and
// its backup's name and decides how the new file lands; carry_out then
// takes the plan's steps in order, each checked, and stops at the first
// that fails, which says what went wrong. The new file is the file's bytes
// before the part loaded, the data, and the file's bytes after that part;
// for a file loaded whole, just the data.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "commands.hpp"
#include "files.hpp"
#include "numbers.hpp"

extern const bool expert_user; // user_level.cpp: the build that writes without asking

namespace {

// The write's texts.
const char ask_write[] = "About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n";
const char ask_over[] = "Write over it anyway? Y/[N]\n";
const char declined[] = "Update declined by user...\n";
const char changed_since[] = "%s changed since it was loaded. \n";
const char backing_up[] = "Please Wait... Backing up current file to %s. \n";
const char backup_kept[] = "Backup %s kept: it holds the file as it was before the failed write. \n";
const char writing[] = "Please Wait... Writing new file %s. \n";
const char gone[] = "Nothing to back up: %s is gone, it is written anew. \n";
const char waiting[] = "Waiting for another write of %s to finish... \n";
const char unfinished_found[] = "ERROR: the last write of %s did not finish: its old contents are in %s, which w keeps...\n";
const char cant_open[] = "Can't open file %s.\n";
const char not_regular[] = "ERROR: %s is not a regular file, not written...\n";
const char changed_refused[] = "ERROR: %s changed since it was loaded, not written...\n";
const char backup_is_file[] = "ERROR: backup %s is the file itself, not written...\n";
const char backup_not_ours[] = "ERROR: backup %s belongs to another user, not written...\n";
const char no_backup_name[] = "ERROR: no backup name can be made for %s, not written...\n";
const char cant_write[] = "ERROR: can't write file %s (%s), %s...\n";
const char left_as_it_was[] = "the file is left as it was";
const char old_in_backup[] = "the old one is in its backup";
const char cant_backup[] = "ERROR: can't write backup %s (%s), file not written...\n";
const char cant_mark[] = "ERROR: can't mark %s as being rewritten (%s), not written...\n";
const char old_kept_as[] = "ERROR: the old file is kept as %s...\n";
const char cant_sync[] = "ERROR: can't sync the folder of %s (%s): the new file may not survive a power cut...\n";
const char cant_remove[] = "ERROR: can't remove %s (%s)...\n";
// The mark's first line, for whoever finds one; the rest is for the editor.
const char mark_head[] = "voxa: a rewrite of this file in place did not finish; the backup named below holds it whole.\n";

constexpr size_t name_part_max = 255; // bytes in one part of a path

void say(FILE* out, const char* format, const std::string& name)
{
    std::fprintf(out, format, name.c_str());
}

// A line of progress, shown while the write goes on, whatever ends it.
void progress(FILE* out, const char* format, const std::string& name)
{
    say(out, format, name);
    std::fflush(out);
}

bool answered_yes(line_input& in, FILE* out, const char* question)
{
    std::fputs(question, out);
    std::string answer; // the end of the input gives an empty answer
    read_line(in, "", answer, line_max);
    if (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y'))
        return true;
    std::fputs(declined, out);
    return false;
}

bool same_time(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

file_record record_of(const struct stat& info)
{
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim, info.st_mode & 07777};
}

// Whether `now` is the very file of the record, untouched since.
bool unchanged(const struct stat& now, const file_record& then)
{
    return now.st_dev == then.device && now.st_ino == then.inode && now.st_size == then.size &&
           same_time(now.st_mtim, then.modified) && same_time(now.st_ctim, then.changed);
}

// The mark that a rewrite in place of the file `inode` did not finish:
// beside the file, named for it.
std::string mark_name(const std::string& target, ino_t inode)
{
    return folder_of(target) + "/.voxa-torn-" + std::to_string(inode);
}

// ---------------------------------------------------------------------------
// The plan.

enum class landing {
    renamed,  // written beside the file and renamed into its place
    in_place, // the file itself rewritten, its backup copied first
    anew      // the file is gone: written beside its name and renamed to it
};
enum class backup_fate {
    exchanged, // the old file itself takes the backup's name
    copied,    // the old file is copied to a new file at the backup's name
    kept,      // a rewrite in place did not finish: the backup holds the last whole version
    none       // there is no old file
};

struct write_plan {
    landing how = landing::renamed;
    backup_fate fate = backup_fate::none;
    std::string target; // the file the name stands for
    std::string temp;   // the new file, until it takes the target's place
    std::string backup; // the backup's name
    std::string mark;   // in place: the mark that the file is being rewritten
    std::string mark_temp;
    int from = -1;      // the old file, opened and locked by this write
    struct stat old {}; // as it was when locked
    int temp_fd = -1;
    int backup_fd = -1; // the backup made or kept, where the old bytes around a part come from
    int mark_fd = -1;
    off_t source_size = 0; // the old bytes around a part: the size of what they come from
    FILE* terminal = nullptr; // where a long copy shows its progress, at a terminal

    // How far it went.
    bool started = false; // the backup was announced
    bool filled = false;  // writing the data began
    size_t written = 0;   // data bytes written
    bool marked = false;  // the mark is on disk
    bool touched = false; // the file itself was emptied
    bool landed = false;  // the new file is in the file's place
    struct stat made {};  // the new file
};

// Opens the file and takes the write lock on it, the one every write of
// voxa takes, so that no two writes of a file interleave; while another
// holds it, says so and waits. -1, with errno, when there is no file.
int open_locked(const std::string& name, struct stat& info, FILE* out)
{
    bool said = false;
    for (int tries = 0; tries < 100; ++tries) {
        // Not waiting for a writer should the name have become a named pipe.
        int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            if (!said)
                progress(out, waiting, name);
            said = true;
            int locked = 0;
            while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && !take_interrupt()) {
            }
            if (locked != 0 && errno == EINTR) { // Ctrl-C while waiting
                close(fd);
                return -1;
            }
        }
        // The lock holds the file the name led to; a write that held it
        // before may have put another file in its place.
        struct stat named {};
        if (fstat(fd, &info) == 0 && (stat(name.c_str(), &named) != 0 || named.st_ino == info.st_ino))
            return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// The file as it stands now against the file as loaded: a file that
// changed is written over only when the user says so, and a part of one
// not at all (its place in the file is not known any more).
bool take_file(editor_state& st, line_input& in, write_plan& p, FILE* out)
{
    const std::string& name = st.file_name;
    p.from = open_locked(name, p.old, out);
    if (p.from < 0 && errno == ENOENT && st.window.whole_file) {
        p.how = landing::anew;
        return true;
    }
    if (p.from < 0 && errno == EINTR)
        std::fputs(declined, out);
    else if (p.from < 0)
        say(out, errno == ENOENT ? changed_refused : cant_open, name);
    else if (!S_ISREG(p.old.st_mode))
        say(out, not_regular, name);
    else if (unchanged(p.old, st.on_disk))
        return true;
    else if (!st.window.whole_file)
        say(out, changed_refused, name);
    else {
        say(out, changed_since, name);
        return answered_yes(in, out, ask_over);
    }
    return false;
}

// Opens the backup that a rewrite that did not finish left, to take the
// bytes around a part from: it must be the plain file that was made then.
bool open_kept_backup(const editor_state& st, write_plan& p, FILE* out)
{
    const std::string& backup = st.unfinished.backup;
    p.backup_fd = open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (p.backup_fd < 0 || fstat(p.backup_fd, &info) != 0) {
        say(out, cant_open, backup);
        return false;
    }
    bool ours = info.st_uid == geteuid() || info.st_uid == p.old.st_uid || info.st_uid == 0;
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || !ours || info.st_size != st.unfinished.backup_size) {
        say(out, changed_refused, backup);
        return false;
    }
    return true;
}

// Whether the backup's name can take the old file: never the file itself,
// never a folder, and never a name that another user holds in a shared
// folder (the old contents would go into that user's file).
bool backup_name_free(const editor_state& st, write_plan& p, FILE* out)
{
    p.backup = backup_name(st.file_name);
    struct stat there {};
    if (p.backup.empty())
        say(out, no_backup_name, st.file_name);
    else if (same_file(st.file_name, p.backup))
        say(out, backup_is_file, p.backup);
    else if (lstat(p.backup.c_str(), &there) == 0 && S_ISDIR(there.st_mode))
        say(out, cant_open, p.backup);
    else if (int why = why_not_replaceable(p.backup))
        why == EPERM ? say(out, backup_not_ours, p.backup)
                     : (void)std::fprintf(out, cant_backup, p.backup.c_str(), std::strerror(why));
    else
        return true;
    return false;
}

// The new file, made beside the old one with its owner, group, bits and
// extended attributes; false when the process may not make it so.
bool new_file_beside(write_plan& p)
{
    p.temp_fd = temporary_beside(p.target, p.temp);
    if (p.temp_fd < 0)
        return false;
    if (give_attributes(p.temp_fd, p.from, p.old, p.old.st_mode & 07777, owner_rule::required))
        return true;
    close(p.temp_fd);
    p.temp_fd = -1;
    remove_file(p.temp);
    p.temp.clear();
    return false;
}

// Decides how the new file lands, what becomes of the backup, and where
// the old bytes around the data come from.
bool make_plan(const editor_state& st, write_plan& p, FILE* out)
{
    const std::string& name = st.file_name;
    if (p.how == landing::anew) {
        p.target = name;
        p.temp_fd = temporary_beside(p.target, p.temp);
        if (p.temp_fd < 0 || fchmod(p.temp_fd, st.on_disk.mode) != 0) {
            say(out, cant_open, name);
            return false;
        }
        return true;
    }
    if (st.unfinished.pending) {
        p.fate = backup_fate::kept;
        p.backup = st.unfinished.backup;
    } else if (!backup_name_free(st, p, out)) {
        return false;
    }
    p.target = target_of(name);
    if (faccessat(AT_FDCWD, p.target.c_str(), W_OK, AT_EACCESS) != 0) {
        say(out, cant_open, name); // a file the user may not write stays as it is
        return false;
    }
    // A file with other links is rewritten in place, so that they all see
    // the new bytes; so is one whose owner or attributes the process could
    // not give a new file. A rewrite in place leaves a mark first.
    p.how = p.old.st_nlink == 1 && new_file_beside(p) ? landing::renamed : landing::in_place;
    if (p.how == landing::in_place) {
        p.mark = mark_name(p.target, p.old.st_ino);
        p.marked = st.unfinished.pending && st.unfinished.mark == p.mark; // by the write that tore it
        p.mark_fd = p.marked ? -1 : temporary_beside(p.target, p.mark_temp);
        if (!p.marked && p.mark_fd < 0) {
            std::fprintf(out, cant_mark, name.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (p.fate != backup_fate::kept)
        p.fate = p.how == landing::renamed ? backup_fate::exchanged : backup_fate::copied;
    if (st.window.whole_file)
        return true;
    // A part: the old bytes come from the old file, or from its backup
    // where the file is emptied first or a failed rewrite tore it.
    if (p.fate == backup_fate::kept && !open_kept_backup(st, p, out))
        return false;
    p.source_size = p.fate == backup_fate::kept ? st.unfinished.backup_size : p.old.st_size;
    return true;
}

// ---------------------------------------------------------------------------
// The steps.

void announce(write_plan& p, FILE* out)
{
    p.started = true;
    if (p.fate == backup_fate::kept)
        say(out, backup_kept, p.backup);
    else if (p.fate != backup_fate::none)
        progress(out, backing_up, p.backup);
}

// Copies the old file to a new file at the backup's name, with the file's
// owner and group where the process may give them, its bits less set-id,
// and its extended attributes; synced before the file is touched. Whatever
// held the name stays until the copy is whole.
bool copy_backup(write_plan& p, FILE* out)
{
    std::string temp;
    int fd = temporary_beside(p.backup, temp);
    off_t size = p.old.st_size;
    show_progress(p.terminal, size);
    bool whole = fd >= 0 && (within_size_limit(size) || (errno = EFBIG, false)) &&
                 give_attributes(fd, p.from, p.old, p.old.st_mode & 0777 & ~mode_t{S_ISUID | S_ISGID},
                                 owner_rule::where_possible) &&
                 copy_bytes(p.from, 0, fd, 0, size) && set_size(fd, size) && fsync(fd) == 0 &&
                 rename(temp.c_str(), p.backup.c_str()) == 0 && sync_folder(p.backup);
    end_progress();
    if (!whole) {
        std::fprintf(out, cant_backup, p.backup.c_str(), std::strerror(errno));
        if (fd >= 0) {
            close(fd);
            remove_file(temp);
        }
        return false;
    }
    p.backup_fd = fd; // read again for the bytes around a part
    return true;
}

// Writes the new file into `to`: the old bytes before the data, the data,
// the old bytes after it; synced. Where the data kept the length of the
// part it replaces, the old bytes stay at their offsets, and of the data
// only the blocks that changed are written: the rest is the old file's, as
// the bytes around it (holes kept, blocks shared where the file system
// can). A file larger than the process may write is refused before it is
// touched.
bool fill(const editor_state& st, write_plan& p, int to, FILE* out)
{
    p.filled = true;
    int source = p.fate == backup_fate::exchanged ? p.from : p.backup_fd;
    off_t before = 0, after_at = 0, after = 0;
    if (!st.window.whole_file) {
        before = std::min(st.window.start, p.source_size);
        after_at = std::min(st.window.start + st.window.length, p.source_size);
        after = p.source_size - after_at;
    }
    size_t size = st.data_count > 0 ? static_cast<size_t>(st.data_count) : 0;
    off_t data_end = before + static_cast<off_t>(size);
    off_t length = data_end + after;
    bool ok = within_size_limit(length) || (errno = EFBIG, false);
    if (ok && p.how == landing::in_place) {
        ok = ftruncate(to, 0) == 0; // holes copied as holes must read as zeros
        p.touched = true;
    }
    const unsigned char* data = st.edit_buffer.data();
    bool same_place = !st.window.whole_file && after_at - before == static_cast<off_t>(size);
    show_progress(p.terminal, before + after);
    if (same_place)
        ok = ok && write_over(source, to, length, data, size, before, p.written);
    else
        ok = ok && copy_bytes(source, 0, to, 0, before) && write_all(to, data, size, before, p.written) &&
             copy_bytes(source, after_at, to, data_end, after);
    ok = ok && set_size(to, length) && fsync(to) == 0 && fstat(to, &p.made) == 0;
    end_progress();
    if (!ok)
        std::fprintf(out, cant_write, st.file_name.c_str(), std::strerror(errno),
                     p.touched ? old_in_backup : left_as_it_was);
    return ok;
}

bool close_new_file(const editor_state& st, write_plan& p, FILE* out)
{
    int fd = std::exchange(p.temp_fd, -1);
    if (close(fd) == 0)
        return true;
    std::fprintf(out, cant_write, st.file_name.c_str(), std::strerror(errno), left_as_it_was);
    return false;
}

// Just before the new file takes the old one's place: the name still leads
// to the file this write locked, untouched since.
bool still_there(const editor_state& st, const write_plan& p, FILE* out)
{
    struct stat named {}, held {};
    file_record locked = record_of(p.old);
    if (stat(st.file_name.c_str(), &named) == 0 && fstat(p.from, &held) == 0 && unchanged(named, locked) &&
        unchanged(held, locked))
        return true;
    say(out, changed_refused, st.file_name);
    return false;
}

// The mark that the file is being rewritten in place, made whole and
// synced before the file is touched: it names the backup that holds the
// file as it was, for a later session should this one not finish.
bool put_mark(const editor_state& st, write_plan& p, FILE* out)
{
    if (p.marked)
        return true;
    std::string backup = target_of(p.backup); // found from wherever a later session starts
    off_t size = p.fate == backup_fate::kept ? st.unfinished.backup_size : p.old.st_size;
    char numbers[80];
    int n = std::snprintf(numbers, sizeof numbers, "%" PRIuMAX " %" PRIuMAX " %jd\n",
                          static_cast<uintmax_t>(p.old.st_dev), static_cast<uintmax_t>(p.old.st_ino),
                          static_cast<intmax_t>(size));
    std::string text = mark_head + std::string(numbers, static_cast<size_t>(n)) + backup + '\0';
    size_t put = 0;
    bool made = fchmod(p.mark_fd, 0400 | (p.old.st_mode & 0044)) == 0 &&
                write_all(p.mark_fd, reinterpret_cast<const unsigned char*>(text.data()), text.size(), 0, put) &&
                fsync(p.mark_fd) == 0 && close(std::exchange(p.mark_fd, -1)) == 0 &&
                rename(p.mark_temp.c_str(), p.mark.c_str()) == 0 && sync_folder(p.mark);
    if (!made)
        std::fprintf(out, cant_mark, st.file_name.c_str(), std::strerror(errno));
    else
        p.mark_temp.clear();
    p.marked = made;
    return made;
}

// Rewrites the file itself, which the lock holds: every link to it sees the
// new bytes.
bool rewrite(const editor_state& st, write_plan& p, FILE* out)
{
    int to = open(p.target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (to < 0 || fstat(to, &info) != 0 || info.st_ino != p.old.st_ino || info.st_dev != p.old.st_dev) {
        if (to >= 0)
            close(to);
        say(out, cant_open, st.file_name);
        return false;
    }
    bool ok = fill(st, p, to, out);
    if (close(to) != 0 && ok) {
        std::fprintf(out, cant_write, st.file_name.c_str(), std::strerror(errno), old_in_backup);
        ok = false;
    }
    p.landed = ok;
    return ok;
}

// The rewrite is whole: the mark goes.
bool remove_mark(const std::string& mark, FILE* out)
{
    if (mark.empty() || (remove_file(mark) && sync_folder(mark)))
        return true;
    std::fprintf(out, cant_remove, mark.c_str(), std::strerror(errno));
    return false;
}

// Puts the new file, whole at its temporary name, in the old one's place,
// and the old file in the backup's: the two are exchanged, and the old
// file, now at the temporary name, is renamed to the backup's, its set-id
// bits cleared. At no moment is the file missing, nor the backup another
// name of it. Where the file system cannot exchange, the old file is copied
// to the backup first.
bool exchange(const editor_state& st, write_plan& p, FILE* out)
{
    const char* temp = p.temp.c_str();
    const char* target = p.target.c_str();
    if (p.fate == backup_fate::kept) {
        p.landed = rename(temp, target) == 0; // the torn file goes; its backup stays
    } else if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        mode_t bits = p.old.st_mode & 07777;
        bool plain = (bits & (S_ISUID | S_ISGID)) == 0 || fchmod(p.from, bits & ~mode_t{S_ISUID | S_ISGID}) == 0;
        if (plain && rename(temp, p.backup.c_str()) == 0) {
            p.temp.clear();
            p.landed = true;
            return true;
        }
        int error = errno;
        // Back as it was: the old file in its place, the new one at the temporary name.
        if ((bits & (S_ISUID | S_ISGID)) != 0)
            fchmod(p.from, bits);
        if (renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_EXCHANGE) != 0) {
            say(out, old_kept_as, p.temp);
            p.temp.clear();
            return false;
        }
        std::fprintf(out, cant_backup, p.backup.c_str(), std::strerror(error));
        return false;
    } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        p.fate = backup_fate::copied;
        if (!copy_backup(p, out))
            return false;
        p.landed = rename(temp, target) == 0;
    }
    if (!p.landed)
        std::fprintf(out, cant_write, st.file_name.c_str(), std::strerror(errno), left_as_it_was);
    else
        p.temp.clear();
    return p.landed;
}

// The file written anew takes the name, unless another file took it since.
bool land_anew(const editor_state& st, write_plan& p, FILE* out)
{
    const char* temp = p.temp.c_str();
    const char* target = p.target.c_str();
    int moved = renameat2(AT_FDCWD, temp, AT_FDCWD, target, RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL)
        moved = link(temp, target) == 0 && remove_file(p.temp) ? 0 : -1;
    if (moved != 0) {
        say(out, errno == EEXIST ? changed_refused : cant_open, st.file_name);
        return false;
    }
    p.temp.clear();
    p.landed = true;
    return true;
}

// Makes the renames last; the file has its new bytes, but a power cut
// could still take them back when this fails.
bool sync_folders(const write_plan& p, FILE* out)
{
    for (const std::string* file : {&p.target, &p.backup}) {
        if (file->empty() || (file == &p.backup && same_folder(p.target, p.backup)))
            continue;
        if (!sync_folder(*file)) {
            std::fprintf(out, cant_sync, file->c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

// Takes the plan's steps in order, up to the first that fails.
bool carry_out(editor_state& st, write_plan& p, FILE* out)
{
    announce(p, out);
    switch (p.how) {
    case landing::renamed:
        progress(out, writing, st.file_name);
        return fill(st, p, p.temp_fd, out) && close_new_file(st, p, out) && still_there(st, p, out) &&
               exchange(st, p, out) && remove_mark(st.unfinished.mark, out) && sync_folders(p, out);
    case landing::in_place:
        if (p.fate == backup_fate::copied && !copy_backup(p, out))
            return false;
        progress(out, writing, st.file_name);
        return put_mark(st, p, out) && still_there(st, p, out) && rewrite(st, p, out) && remove_mark(p.mark, out);
    case landing::anew:
        say(out, gone, st.file_name);
        progress(out, writing, st.file_name);
        return fill(st, p, p.temp_fd, out) && close_new_file(st, p, out) && land_anew(st, p, out) &&
               remove_mark(st.unfinished.mark, out) && sync_folders(p, out);
    }
    return false;
}

// After the steps: the editor's counters and its record of what is on
// disk, and nothing of the write left behind but the file and its backup.
void settle(editor_state& st, write_plan& p, FILE* out)
{
    // Every read of the backup's byte-by-byte copy counts, the one that
    // meets the end included, whether or not a copy is made.
    if (p.started && (p.fate == backup_fate::exchanged || p.fate == backup_fate::copied))
        st.addr_counter = wrap_add(st.addr_counter, static_cast<int64_t>(p.old.st_size) + 1);
    if (p.filled)
        st.cursor = static_cast<int32_t>(p.written);
    struct stat now {};
    if (p.landed) {
        // What is on disk now is what a later write compares with, and the
        // data is the part of it that the data replaces.
        if (p.how == landing::in_place || (stat(p.target.c_str(), &now) == 0 && now.st_ino == p.made.st_ino))
            st.on_disk = record_of(p.how == landing::in_place ? p.made : now);
        st.window.length = std::max(0, st.data_count);
        st.unfinished = {};
        st.unsaved = false;
    } else if (p.touched) {
        // Torn: its backup holds the last whole version, and the mark says so.
        if (!st.unfinished.pending)
            st.unfinished = {true, p.backup, p.old.st_size, p.mark};
        if (fstat(p.from, &now) == 0)
            st.on_disk = record_of(now);
    } else if (p.marked && !st.unfinished.pending && !remove_file(p.mark)) {
        // Untouched: the mark made for this write goes.
        std::fprintf(out, cant_remove, p.mark.c_str(), std::strerror(errno));
    }
    for (int fd : {p.from, p.temp_fd, p.backup_fd, p.mark_fd})
        if (fd >= 0)
            close(fd);
    for (const std::string* left : {&p.temp, &p.mark_temp})
        if (!left->empty() && !remove_file(*left))
            std::fprintf(out, cant_remove, left->c_str(), std::strerror(errno));
}

// Why the file as it stands cannot take the data back, asked or not;
// nullptr when it may.
const char* refusal(const editor_state& st)
{
    struct stat now {};
    if (stat(st.file_name.c_str(), &now) != 0)
        return errno != ENOENT || st.window.whole_file ? nullptr : changed_refused;
    if (!S_ISREG(now.st_mode))
        return not_regular;
    if (!st.window.whole_file && !unchanged(now, st.on_disk))
        return changed_refused;
    return nullptr;
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
    if (same_folder(file_name, whole) && leaf_of(whole).size() <= name_part_max)
        return whole;
    // The rule would leave the file's folder, or make a name longer than a
    // name may be: it is applied to the file's own name.
    size_t slash = file_name.rfind('/');
    std::string leaf = backup_rule(file_name.substr(slash + 1));
    if (leaf.size() > name_part_max || leaf == "7")
        return "";
    return file_name.substr(0, slash + 1) + leaf;
}

void remember_loaded_file(editor_state& st, const struct stat& info, FILE* out)
{
    st.on_disk = record_of(info);
    std::string mark = mark_name(target_of(st.file_name), info.st_ino);
    int fd = open(mark.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    // Only a mark that the file's owner, this user or root made is believed.
    struct stat made {};
    char text[8192] = {};
    ssize_t n = fstat(fd, &made) == 0 && S_ISREG(made.st_mode) && made.st_nlink == 1 &&
                        (made.st_uid == info.st_uid || made.st_uid == geteuid() || made.st_uid == 0)
                    ? pread(fd, text, sizeof text - 1, 0)
                    : -1;
    close(fd);
    size_t head = sizeof mark_head - 1;
    uintmax_t device = 0, inode = 0;
    intmax_t size = 0;
    int used = 0;
    if (n <= static_cast<ssize_t>(head) || std::memcmp(text, mark_head, head) != 0 ||
        std::sscanf(text + head, "%" SCNuMAX " %" SCNuMAX " %jd\n%n", &device, &inode, &size, &used) != 3 ||
        used == 0 || device != info.st_dev || inode != info.st_ino)
        return;
    std::string backup = text + head + used; // up to its NUL
    st.unfinished = {true, backup, static_cast<off_t>(size), mark};
    std::fprintf(out, unfinished_found, st.file_name.c_str(), backup.c_str());
}

void write_file(editor_state& st, line_input& in, FILE* out)
{
    // A file that cannot take the data back is refused before the question.
    if (const char* why = refusal(st)) {
        say(out, why, st.file_name);
        st.write_failed = true;
        return;
    }
    if (!expert_user && !answered_yes(in, out, ask_write))
        return;
    write_plan p;
    p.terminal = in.terminal ? out : nullptr;
    bool ok = take_file(st, in, p, out) && make_plan(st, p, out) && carry_out(st, p, out);
    settle(st, p, out);
    st.write_failed = !ok;
}
