// Write (w): after the confirmation, the file as it stands on disk becomes
// its backup, and the data takes the file's place. The last whole version
// of the file survives every failure and every crash, in the file or in
// its backup, and no other file is ever written.
//
// A write is made in two moves. make_plan looks at the file, its folder,
// its name and its backup's name, refuses what cannot be done, and decides
// everything else: how the new file lands, what becomes of the backup,
// where the old bytes around the data come from, and the list of steps; it
// creates nothing. carry_out then takes the steps in order, each checked,
// and stops at the first that fails, which says what went wrong. Every step
// is taken in the folders the plan opened, whatever becomes of their paths.
// The new file is the file's bytes before the part loaded, the data, and
// the file's bytes after that part; for a file loaded whole, just the data.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "landing.hpp"
#include "numbers.hpp"
#include "records.hpp"

namespace {

// The write's texts.
const char ask_write[] = "About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n";
const char ask_over[] = "Write over it anyway? Y/[N]\n";
const char not_a_backup[] = "%s is not a backup of %s. \n";
const char ask_replace[] = "Replace it anyway? Y/[N]\n";
const char declined[] = "Update declined by user...\n";
const char changed_since[] = "%s changed since it was loaded. \n";
const char backing_up[] = "Please Wait... Backing up current file to %s. \n";
const char backup_kept[] = "Backup %s kept: it holds the file as it was before the failed write. \n";
const char writing[] = "Please Wait... Writing new file %s. \n";
const char gone[] = "Nothing to back up: %s is gone, it is written anew. \n";
const char waiting[] = "Waiting for another write of %s to finish... \n";
const char unfinished_found[] = "ERROR: the last write of %s did not finish: its old contents are in %s, which w keeps...\n";
const char mark_set_aside[] = "ERROR: %s, the mark of an unfinished write of %s, matches neither %s nor its backup: set aside, not used...\n";
const char cant_open[] = "Can't open file %s.\n";
const char not_regular[] = "ERROR: %s is not a regular file, not written...\n";
const char changed_refused[] = "ERROR: %s changed since it was loaded, not written...\n";
const char backup_is_file[] = "ERROR: backup %s is the file itself, not written...\n";
const char backup_not_ours[] = "ERROR: backup %s belongs to another user, not written...\n";
const char backup_held[] = "ERROR: backup %s holds the last whole version of %s, whose rewrite did not finish (%s): %s not written...\n";
const char no_backup_name[] = "ERROR: no backup name can be made for %s, not written...\n";
const char cant_write[] = "ERROR: can't write file %s (%s), %s...\n";
const char cant_backup[] = "ERROR: can't write backup %s (%s), file not written...\n";
const char cant_mark[] = "ERROR: can't mark %s as being rewritten (%s), not written...\n";
const char old_kept_as[] = "ERROR: the old file is kept as %s...\n";
const char both_kept_as[] = "ERROR: can't write file %s (%s): the old file is kept as %s, the new one as %s...\n";
const char cant_sync[] = "ERROR: can't sync the folder of %s (%s): the new file may not survive a power cut...\n";
const char cant_remove[] = "ERROR: can't remove %s (%s)...\n";
const char list_not_kept[] = "ERROR: %s is written, but its access list could not be kept...\n";
const char left_as_it_was[] = "the file is left as it was";
const char old_in_backup[] = "the old one is in its backup";

constexpr size_t name_part_max = 255; // bytes in one part of a path

// ---------------------------------------------------------------------------
// Saying what happens.

void say(FILE* out, const char* format, const std::string& name)
{
    std::fprintf(out, format, name.c_str());
}

// A line of progress, shown while the write goes on, whatever ends it.
void progress_line(FILE* out, const char* format, const std::string& name)
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

struct write_job;
using step = bool (*)(write_job&);

struct write_job {
    editor_state& st;
    line_input& in;
    FILE* out;
    FILE* terminal; // where a long copy shows its progress, at a terminal

    write_job(editor_state& state, line_input& input, FILE* to)
        : st(state), in(input), out(to), terminal(input.terminal ? to : nullptr)
    {
    }

    // Where: the folder of the file and the folder of its name and backup
    // (the same folder, but for a name that is a link to another folder's
    // file), held open for the whole write.
    sys::folder place, name_place;
    bool one_place = true;
    std::string leaf;           // the file's name in its folder
    std::string name_leaf;      // the name given, in its folder
    sys::file_info name_link;   // the name itself, when it is a link
    sys::handle from = sys::no_handle; // the old file, opened and locked by this write
    sys::file_info old;               // as it was when locked
    bool gone = false;                // there is no old file: it was removed since it was loaded

    // Decided by the plan.
    landing how = landing::renamed;
    backup_fate fate = backup_fate::none;
    std::string backup; // the backup's name, as shown
    std::string backup_leaf;
    std::vector<record> records;     // those that may be about the backup, read once
    bool records_on_files = false;   // the backup carries its record (else marks are files)
    bool keeping = false;            // a rewrite did not finish: its backup, `kept`, is the last whole version
    record kept;
    bool needs_mark = false;         // a rewrite in place leaves a mark file first
    bool old_bytes_in_backup = false; // the bytes around a part come from the backup
    bool empty_first = false;        // the file itself is emptied before it is written
    int64_t source_size = 0;         // the old bytes around a part: the size of what they come from
    std::vector<step> steps;

    // Made by the steps.
    std::string temp;                     // the new file, until it takes the file's place
    sys::handle temp_fd = sys::no_handle;
    sys::handle backup_fd = sys::no_handle; // the backup made or kept
    sys::file_info backup_made;
    std::string mark_temp, mark;          // the mark, before and after it is put in place
    sys::handle mark_fd = sys::no_handle;
    sys::handle rewritten = sys::no_handle; // the file rewritten in place, closed once its record is gone

    // How far it went.
    bool started = false; // the backup was announced
    bool filled = false;  // writing the data began
    size_t written = 0;   // data bytes written
    bool touched = false; // the file itself was emptied
    bool landed = false;  // the new file is in the file's place
    sys::file_info made;  // the new file

    sys::file_id place_id, name_place_id;

    const sys::folder& backup_place() const { return name_place; }

    // The two ways a write stops. A refusal names what it refuses; a failure
    // also gives the system's reason and, where the text has room for it,
    // what became of the file.
    bool refuse(const char* format, const std::string& name)
    {
        say(out, format, name);
        return false;
    }
    bool fail(const char* format, const std::string& name)
    {
        std::fprintf(out, format, name.c_str(), sys::failure_text().c_str(), touched ? old_in_backup : left_as_it_was);
        return false;
    }
};

// The file's folder and its name's, opened once: they must be those the
// file was loaded from (or last written into).
bool open_places(write_job& j)
{
    const std::string& name = j.st.file_name;
    std::string target = sys::real_path(name);
    j.leaf = sys::leaf_of(target);
    j.name_leaf = sys::leaf_of(name);
    sys::file_info here, there;
    if (!sys::open_folder(sys::folder_of(target), j.place) || !sys::info_of(j.place.h, here))
        return j.refuse(cant_open, name);
    if (!sys::open_folder(sys::folder_of(name), j.name_place) || !sys::info_of(j.name_place.h, there))
        return j.refuse(cant_open, name);
    j.place_id = here.id;
    j.name_place_id = there.id;
    j.one_place = sys::same_file(here.id, there.id);
    if (j.leaf != j.name_leaf || !j.one_place)
        sys::info_in(j.name_place, j.name_leaf, j.name_link);
    return true;
}

bool same_places(const write_job& j)
{
    sys::file_info here, there;
    return sys::info_of(j.place.h, here) && sys::info_of(j.name_place.h, there) &&
           sys::same_file(here.id, j.st.on_disk.folder) && sys::same_file(there.id, j.st.on_disk.name_folder);
}

// Opens the file in its folder and takes the write lock on it, the one every
// write of voxa takes, so that no two writes of a file interleave; while
// another holds it, says so and waits. False, with the reason, when there
// is no file to open.
bool open_locked(write_job& j)
{
    bool said = false;
    for (int tries = 0; tries < 100; ++tries) {
        j.from = sys::open_to_lock(j.place, j.leaf);
        if (j.from == sys::no_handle)
            return false;
        sys::lock_result locked = sys::try_lock(j.from);
        if (locked == sys::lock_result::busy) {
            if (!said)
                progress_line(j.out, waiting, j.st.file_name);
            said = true;
            locked = sys::wait_lock(j.from) ? sys::lock_result::locked : sys::lock_result::failed;
        }
        // The lock holds the file the name led to; a write that held it
        // before may have put another file in its place.
        sys::file_info named;
        if (locked == sys::lock_result::locked && sys::info_of(j.from, j.old) &&
            (!sys::info_in(j.place, j.leaf, named) || sys::same_file(named.id, j.old.id)))
            return true;
        sys::close_file(std::exchange(j.from, sys::no_handle));
        if (locked != sys::lock_result::locked)
            return false;
    }
    return sys::fail(sys::failure::other);
}

// The file as it stands now against the file as loaded: a file that
// changed is written over only when the user says so, and a part of one
// not at all (its place in the file is not known any more).
bool take_file(write_job& j)
{
    editor_state& st = j.st;
    const std::string& name = st.file_name;
    sys::file_info now;
    bool there = sys::info_in(j.place, j.leaf, now);
    if (there && now.kind != sys::file_kind::regular)
        return j.refuse(not_regular, name);
    if (!open_locked(j)) {
        if (sys::failed_with(sys::failure::interrupted))
            std::fputs(declined, j.out);
        else if (sys::failed_with(sys::failure::busy))
            j.fail(cant_write, name); // held open by a program that shares it with no one
        else if (sys::failed_with(sys::failure::not_found) && st.window.whole_file && same_places(j))
            return j.gone = true;
        else
            say(j.out, sys::failed_with(sys::failure::not_found) ? changed_refused : cant_open, name);
        return false;
    }
    if (sys::unchanged(j.old, st.on_disk.file) && same_places(j))
        return true;
    if (!st.window.whole_file)
        return j.refuse(changed_refused, name);
    say(j.out, changed_since, name);
    return answered_yes(j.in, j.out, ask_over);
}

// The records that may be about the backup, read once for the whole write.
// A rewrite of this very file that did not finish is found among them from
// what is on disk now, under the write lock: this session's, or one whose
// writer is gone. Its backup holds the last whole version, which this
// write keeps.
void read_records(write_job& j)
{
    j.backup = backup_name(j.st.file_name);
    j.backup_leaf = sys::leaf_of(j.backup);
    if (j.backup.empty())
        return;
    j.records_on_files = sys::records_kept(j.backup_place());
    j.records = records_about(j.backup_place(), j.backup_leaf, j.old.owner);
    sys::file_info there;
    if (!sys::info_in(j.backup_place(), j.backup_leaf, there))
        return;
    for (const record& r : j.records)
        if (about(r, j.old.id, j.name_leaf) && believed(r, j.old.owner, j.backup_leaf, there)) {
            j.keeping = true;
            j.kept = r;
            return;
        }
}

// Whether the backup's name can take the old file: never the file itself,
// never a folder, never a name that another user holds in a shared folder
// (the old contents would go into that user's file), and never a backup
// that a record keeps as another file's last whole version. Anything else
// there that is not a backup of this very file, where backups carry their
// records, is replaced only when the user says so.
bool backup_name_free(write_job& j)
{
    const std::string& name = j.st.file_name;
    if (j.backup.empty())
        return j.refuse(no_backup_name, name);
    sys::file_info there, led_to;
    bool held = sys::info_in(j.backup_place(), j.backup_leaf, there);
    if (held && sys::info_in(j.backup_place(), j.backup_leaf, led_to, true) && sys::same_file(led_to.id, j.old.id))
        return j.refuse(backup_is_file, j.backup);
    if (held && there.kind == sys::file_kind::folder)
        return j.refuse(cant_open, j.backup);
    switch (sys::may_replace(j.backup_place(), j.backup_leaf)) {
    case sys::replace_right::held_by_other:
        return j.refuse(backup_not_ours, j.backup);
    case sys::replace_right::folder_refuses:
        return j.fail(cant_backup, j.backup);
    case sys::replace_right::may:
        break;
    }
    if (!held)
        return true;
    for (const record& r : j.records)
        if (!about(r, j.old.id, j.name_leaf) && believed(r, there.owner, j.backup_leaf, there)) {
            std::fprintf(j.out, backup_held, j.backup.c_str(), shown(r.file_leaf).c_str(), shown(r.name).c_str(),
                         name.c_str());
            return false; // the one message that names two files
        }
    if (!j.records_on_files)
        return true; // no backup carries a record here: it is replaced as ever
    for (const record& r : j.records)
        if (backup_of(r, j.name_leaf, j.backup_leaf, there))
            return true;
    std::fprintf(j.out, not_a_backup, j.backup.c_str(), name.c_str());
    return answered_yes(j.in, j.out, ask_replace);
}

// The kept backup must still be the very file its record describes (one
// gone since is one that changed); for a part, the bytes around it are
// read from it.
bool keep_backup(write_job& j)
{
    // Shown as the session was told of it, or as a path from the root.
    const unfinished_write& told = j.st.unfinished;
    j.backup = told.pending && told.backup_leaf == j.backup_leaf ? told.backup
                                                                  : sys::join(sys::real_path(j.name_place.path), j.backup_leaf);
    sys::file_info now;
    j.backup_fd = sys::open_in(j.backup_place(), j.backup_leaf, false);
    if (j.backup_fd == sys::no_handle || !sys::info_of(j.backup_fd, now) ||
        !believed(j.kept, j.old.owner, j.backup_leaf, now))
        return j.refuse(changed_refused, j.backup);
    j.backup_made = now;
    return true;
}

bool announce_backup(write_job& j);
bool announce_kept(write_job& j);
bool announce_writing(write_job& j);
bool announce_gone(write_job& j);
bool open_new_file(write_job& j);
bool open_new_file_anew(write_job& j);
bool write_new_file(write_job& j);
bool close_new_file(write_job& j);
bool check_still_there(write_job& j);
bool swap_in(write_job& j);
bool copy_backup(write_job& j);
bool put_in_place(write_job& j);
bool land_anew(write_job& j);
bool open_mark(write_job& j);
bool put_mark(write_job& j);
bool rewrite(write_job& j);
bool remove_marks(write_job& j);
bool close_rewritten(write_job& j);
bool flush_folders(write_job& j);

// Decides how the new file lands, what becomes of the backup, where the
// old bytes around the data come from, and the steps; refuses, before
// anything is touched, what cannot be done.
bool make_plan(write_job& j)
{
    editor_state& st = j.st;
    const std::string& name = st.file_name;
    if (j.gone) {
        j.how = landing::anew;
        j.steps = {announce_gone, announce_writing, open_new_file_anew, write_new_file, land_anew, remove_marks,
                   close_new_file, flush_folders};
        return true;
    }
    read_records(j);
    if (j.keeping ? !keep_backup(j) : !backup_name_free(j))
        return false;
    if (!sys::may_write(j.place, j.leaf))
        return j.refuse(cant_open, name); // a file the user may not write stays as it is
    // A file with other links is rewritten in place, so that they all see
    // the new bytes; so is one whose owner the process could not give a new
    // file. A rewrite in place is recorded before the file is touched (on
    // the backup as it is made, or in a mark file), unless the rewrite that
    // tore the file left its record.
    j.how = j.old.links == 1 && sys::can_give_owner(j.old) ? landing::renamed : landing::in_place;
    bool kept = j.keeping;
    j.needs_mark = j.how == landing::in_place && !kept && !j.records_on_files;
    if (kept)
        j.fate = backup_fate::kept;
    else if (j.how == landing::renamed && j.one_place && sys::can_exchange(j.place))
        j.fate = backup_fate::exchanged;
    else
        j.fate = backup_fate::copied;
    // A part: the old bytes come from the old file, or from its backup where
    // the file is emptied first or a failed rewrite tore it.
    j.empty_first = j.how == landing::in_place;
    j.old_bytes_in_backup = kept || j.empty_first;
    j.source_size = kept ? j.backup_made.size : j.old.size;

    step announce = kept ? announce_kept : announce_backup;
    if (j.how == landing::renamed) {
        j.steps = {announce, announce_writing, open_new_file, write_new_file, check_still_there};
        if (j.fate == backup_fate::exchanged)
            j.steps.push_back(swap_in);
        else if (j.fate == backup_fate::copied)
            j.steps.insert(j.steps.end(), {copy_backup, put_in_place});
        else
            j.steps.push_back(put_in_place);
        j.steps.insert(j.steps.end(), {remove_marks, close_new_file, flush_folders});
        return true;
    }
    j.steps.clear();
    if (j.needs_mark)
        j.steps.push_back(open_mark);
    j.steps.push_back(announce);
    if (!kept)
        j.steps.push_back(copy_backup);
    j.steps.push_back(announce_writing);
    if (j.needs_mark)
        j.steps.push_back(put_mark);
    j.steps.insert(j.steps.end(), {check_still_there, rewrite, remove_marks, close_rewritten});
    return true;
}

// ---------------------------------------------------------------------------
// The steps.

bool announce_backup(write_job& j)
{
    j.started = true;
    progress_line(j.out, backing_up, j.backup);
    return true;
}

bool announce_kept(write_job& j)
{
    j.started = true;
    progress_line(j.out, backup_kept, j.backup);
    return true;
}

bool announce_writing(write_job& j)
{
    progress_line(j.out, writing, j.st.file_name);
    return true;
}

bool announce_gone(write_job& j)
{
    say(j.out, gone, j.st.file_name);
    return true;
}

// The new file holds the write lock from the moment it is made until it is
// closed, after the write's records: once it has the file's name, another
// write waits for it instead of landing between its rename and the old
// file's move to the backup's name, which would then put the old file over
// the version that write kept as the backup.
bool new_file_locked(write_job& j)
{
    j.temp_fd = sys::new_temporary(j.place, j.temp);
    return j.temp_fd != sys::no_handle && sys::try_lock(j.temp_fd) == sys::lock_result::locked;
}

// The new file, made beside the old one with its owner, group, bits and
// extended attributes.
bool open_new_file(write_job& j)
{
    if (!new_file_locked(j) || !sys::give_attributes(j.temp_fd, j.from, j.old, j.old.mode, sys::owner_rule::required))
        return j.fail(cant_write, j.st.file_name);
    return true;
}

// The file written anew gets the bits it had.
bool open_new_file_anew(write_job& j)
{
    if (!new_file_locked(j) || !sys::set_bits(j.temp_fd, j.st.on_disk.file.mode))
        return j.refuse(cant_open, j.st.file_name);
    return true;
}

// Writes the new file into `to`: the old bytes before the data, the data,
// the old bytes after it; flushed. Where the data kept the length of the
// part it replaces, the old bytes stay at their offsets, and of the data
// only the blocks that changed are written: the rest is the old file's, as
// the bytes around it (holes kept, blocks shared where the file system
// can). A file larger than the process may write is refused before it is
// touched.
bool write_bytes(write_job& j, sys::handle to)
{
    const editor_state& st = j.st;
    j.filled = true;
    sys::handle source = j.old_bytes_in_backup ? j.backup_fd : j.from;
    int64_t before = 0, after_at = 0, after = 0;
    if (!st.window.whole_file) {
        before = std::min(st.window.start, j.source_size);
        after_at = std::min(st.window.start + st.window.length, j.source_size);
        after = j.source_size - after_at;
    }
    size_t size = st.data_count > 0 ? static_cast<size_t>(st.data_count) : 0;
    int64_t data_end = before + static_cast<int64_t>(size);
    int64_t length = data_end + after;
    if (!sys::within_size_limit(length))
        return j.fail(cant_write, st.file_name);
    if (j.empty_first) {
        j.touched = true;
        if (!sys::set_size(to, 0)) // holes copied as holes must read as zeros
            return j.fail(cant_write, st.file_name);
    }
    const unsigned char* data = st.edit_buffer.data();
    bool same_place = !st.window.whole_file && after_at - before == static_cast<int64_t>(size);
    bool ok = false;
    {
        progress shown(j.terminal, before + after);
        ok = same_place ? write_over(source, to, length, data, size, before, j.written, &shown)
                        : copy_bytes(source, 0, to, 0, before, &shown) &&
                              sys::write_at(to, data, size, before, j.written) &&
                              copy_bytes(source, after_at, to, data_end, after, &shown);
    }
    ok = ok && sys::carry_on() && sys::set_size(to, length) && sys::flush(to) && sys::info_of(to, j.made);
    return ok || j.fail(cant_write, st.file_name);
}

bool write_new_file(write_job& j)
{
    return write_bytes(j, j.temp_fd);
}

// The new file, in its place, is known by the handle that wrote it, held
// across its rename: a look-up by name alone could find another's file, and
// on some file systems (FAT) a rename changes a file's number. Its times are
// taken again once it is closed (some file systems set them then), from
// its name where that still leads to it.
bool close_new_file(write_job& j)
{
    sys::info_of(j.temp_fd, j.made);
    if (j.from != sys::no_handle && !sys::access_list_kept(j.temp_fd, j.from))
        say(j.out, list_not_kept, j.st.file_name); // the write stands
    bool closed = sys::close_file(std::exchange(j.temp_fd, sys::no_handle));
    sys::file_info named;
    if (sys::info_in(j.place, j.leaf, named) && sys::same_file(named.id, j.made.id))
        j.made = named;
    return closed || j.fail(cant_write, j.st.file_name);
}

// Just before the file is touched: its name still leads to the file this
// write locked, untouched since, and a name that is a link is still that link.
bool check_still_there(write_job& j)
{
    sys::file_info named, held, link;
    if (sys::info_in(j.place, j.leaf, named) && sys::info_of(j.from, held) && sys::unchanged(named, j.old) &&
        sys::unchanged(held, j.old) &&
        (j.name_link.kind != sys::file_kind::link ||
         (sys::info_in(j.name_place, j.name_leaf, link) && sys::unchanged(link, j.name_link))))
        return true;
    return j.refuse(changed_refused, j.st.file_name);
}

// Puts the new file, whole at its temporary name, in the old one's place,
// and the old file in the backup's, by the system's own means.
bool swap_in(write_job& j)
{
    std::string old_at;
    // The old file, as it becomes the backup, says whose it is (should that
    // fail, the next write asks before it replaces it).
    std::string record = j.records_on_files ? backup_record(j.name_leaf, j.old, j.backup_leaf) : "";
    switch (sys::swap_in(j.place, j.temp, j.leaf, j.backup_place(), j.backup_leaf, j.from, j.old.mode, record, old_at)) {
    case sys::swap_result::done:
        j.temp.clear();
        j.landed = true;
        return true;
    case sys::swap_result::nothing_changed:
        return j.fail(cant_write, j.st.file_name);
    case sys::swap_result::backup_refused:
        return j.fail(cant_backup, j.backup);
    case sys::swap_result::old_left:
        if (old_at == j.temp)
            j.temp.clear(); // it is not ours to remove
        return j.refuse(old_kept_as, sys::join(j.place.path, old_at));
    case sys::swap_result::both_left:
        // The new bytes exist only there: kept, and both names said.
        std::fprintf(j.out, both_kept_as, j.st.file_name.c_str(), sys::failure_text().c_str(),
                     sys::join(j.place.path, old_at).c_str(), sys::join(j.place.path, j.temp).c_str());
        j.temp.clear();
        return false;
    }
    return false;
}

// The record the backup carries as it is made, where backups carry theirs:
// whose backup it is, and, before a rewrite in place, that the file is
// being rewritten (which no other write may then take for finished).
bool record_backup(write_job& j, sys::handle fd)
{
    if (!j.records_on_files)
        return true;
    sys::file_info made;
    if (!sys::info_of(fd, made))
        return false;
    made.changed = 0; // setting the record changes it
    if (j.how != landing::in_place)
        return sys::write_record(fd, backup_record(j.name_leaf, made, j.backup_leaf)) || true;
    return sys::write_record(fd, torn_record(j.old.id, j.name_leaf, made, j.backup_leaf));
}

// Copies the old file to a new file at the backup's name, with the file's
// owner and group where the process may give them, its bits less set-id,
// and its extended attributes; recorded and flushed before the file is
// touched. Whatever held the name stays until the copy is whole. The copy
// that a rewrite in place keeps as the last whole version is writable by
// its maker alone, so that no one else can change it or its record.
bool copy_backup(write_job& j)
{
    std::string temp;
    sys::handle fd = sys::new_temporary(j.backup_place(), temp);
    int64_t size = j.old.size;
    uint32_t bits = j.old.mode & (j.how == landing::in_place ? 0755 : 0777);
    bool copied = false;
    {
        progress shown(j.terminal, size);
        copied = fd != sys::no_handle && sys::within_size_limit(size) &&
                 sys::give_attributes(fd, j.from, j.old, bits, sys::owner_rule::where_possible) &&
                 copy_bytes(j.from, 0, fd, 0, size, &shown);
    }
    copied = copied && sys::carry_on() && sys::set_size(fd, size);
    bool recorded = copied && record_backup(j, fd);
    bool whole = recorded && sys::flush(fd) &&
                 sys::rename_in(j.backup_place(), temp, j.backup_place(), j.backup_leaf, sys::rename_how::replace) &&
                 sys::flush_folder(j.backup_place()) && sys::info_of(fd, j.backup_made);
    if (!whole) {
        if (copied && !recorded)
            j.fail(cant_mark, j.st.file_name);
        else
            j.fail(cant_backup, j.backup);
        if (fd != sys::no_handle) {
            sys::close_file(fd);
            sys::remove_in(j.backup_place(), temp);
        }
        return false;
    }
    j.backup_fd = fd; // read again for the bytes around a part
    return true;
}

// The new file takes the name; the old one goes, or stays as the backup
// that a copy or a torn rewrite made.
bool put_in_place(write_job& j)
{
    if (!sys::rename_in(j.place, j.temp, j.place, j.leaf, sys::rename_how::replace))
        return j.fail(cant_write, j.st.file_name);
    j.temp.clear();
    j.landed = true;
    return true;
}

// The file written anew takes the name, unless another file took it since.
bool land_anew(write_job& j)
{
    if (!sys::rename_in(j.place, j.temp, j.place, j.leaf, sys::rename_how::keep_existing))
        return j.refuse(sys::failed_with(sys::failure::exists) ? changed_refused : cant_open, j.st.file_name);
    j.temp.clear();
    j.landed = true;
    return true;
}

// The mark that the file is being rewritten in place starts as a private
// temporary file: where none can be made, the write is refused before the
// backup or the file is touched.
bool open_mark(write_job& j)
{
    j.mark_fd = sys::new_temporary(j.backup_place(), j.mark_temp);
    return j.mark_fd != sys::no_handle || j.fail(cant_mark, j.st.file_name);
}

// The mark, made whole and flushed before the file is touched, takes a name
// of its own beside the backup that it names: one that a later session finds
// by its prefix, and that no one can take beforehand.
bool put_mark(write_job& j)
{
    std::string text = torn_record(j.old.id, j.name_leaf, j.backup_made, j.backup_leaf);
    size_t put = 0;
    bool made = sys::set_bits(j.mark_fd, 0400 | (j.old.mode & 0044)) &&
                sys::write_at(j.mark_fd, text.data(), text.size(), 0, put) && sys::flush(j.mark_fd) &&
                sys::close_file(std::exchange(j.mark_fd, sys::no_handle));
    // A name that another took meanwhile only costs another draw.
    for (int tries = 0; made && j.mark.empty() && tries < 100; ++tries) {
        std::string name = std::string(mark_prefix) + sys::random_tail();
        if (sys::rename_in(j.backup_place(), j.mark_temp, j.backup_place(), name, sys::rename_how::keep_existing)) {
            j.mark = name;
            j.mark_temp.clear();
        } else {
            made = sys::failed_with(sys::failure::exists);
        }
    }
    made = made && !j.mark.empty() && sys::flush_folder(j.backup_place());
    return made || j.fail(cant_mark, j.st.file_name);
}

// Rewrites the file itself, which the lock holds: every link to it sees the
// new bytes. It stays open until the record of its rewrite is gone: where
// the lock is the system's lock of a whole file (fcntl), closing any of
// the file's descriptors lets it go, and no other write may act between.
bool rewrite(write_job& j)
{
    j.rewritten = sys::open_in(j.place, j.leaf, true);
    sys::file_info info;
    if (j.rewritten == sys::no_handle || !sys::info_of(j.rewritten, info) || !sys::same_file(info.id, j.old.id))
        return j.refuse(cant_open, j.st.file_name);
    j.landed = write_bytes(j, j.rewritten);
    return j.landed;
}

bool close_rewritten(write_job& j)
{
    return sys::close_file(std::exchange(j.rewritten, sys::no_handle)) || j.fail(cant_write, j.st.file_name);
}

// The file is whole: the record of its rewrite goes, while the lock is
// held. A mark file is removed; a record on the backup goes back to saying
// only whose backup it is.
bool remove_marks(write_job& j)
{
    if (j.records_on_files && (j.keeping || j.how == landing::in_place)) {
        sys::file_info backup;
        bool said = sys::info_of(j.backup_fd, backup) &&
                    sys::write_record(j.backup_fd, backup_record(j.name_leaf, backup, j.backup_leaf)) &&
                    sys::flush(j.backup_fd);
        return said || j.fail(cant_remove, "the record on " + j.backup);
    }
    std::string kept_mark = j.keeping && j.kept.mark ? j.kept.name : "";
    for (const std::string* mark : {&j.mark, &kept_mark}) {
        if (mark->empty())
            continue;
        if (!sys::remove_in(j.backup_place(), *mark) || !sys::flush_folder(j.backup_place()))
            return j.fail(cant_remove, *mark);
    }
    j.mark.clear();
    return true;
}

// Makes the renames last; the file has its new bytes, but a power cut
// could still take them back when this fails.
bool flush_folders(write_job& j)
{
    for (const sys::folder* f : {&j.place, &j.name_place}) {
        if (f == &j.name_place && j.one_place)
            continue;
        if (!sys::flush_folder(*f))
            return j.fail(cant_sync, j.st.file_name);
    }
    return true;
}

// Takes the plan's steps in order, up to the first that fails. A signal
// that ends the program stops the write at the next step, unless the new
// file has taken its place: then the steps left tidy up.
bool carry_out(write_job& j)
{
    for (step s : j.steps)
        if ((!j.landed && !sys::carry_on() && !j.fail(cant_write, j.st.file_name)) || !s(j))
            return false;
    return true;
}

// After the steps: the editor's counters and its record of what is on
// disk, and nothing of the write left behind but the file and its backup.
void settle(write_job& j)
{
    editor_state& st = j.st;
    // Every read of the backup's byte-by-byte copy counts, the one that
    // meets the end included, whether or not a copy is made.
    if (j.started && (j.fate == backup_fate::exchanged || j.fate == backup_fate::copied))
        st.addr_counter = wrap_add(st.addr_counter, j.old.size + 1);
    if (j.filled)
        st.cursor = static_cast<int32_t>(j.written);
    sys::file_info now;
    if (j.landed) {
        // What is on disk now is what a later write compares with, and the
        // data is the part of it that the data replaces.
        st.on_disk.file = j.made;
        st.on_disk.folder = j.place_id;
        st.on_disk.name_folder = j.name_place_id;
        st.window.length = std::max(0, st.data_count);
        st.unfinished = {};
        st.unsaved = false;
    } else if (j.touched) {
        // Torn: its backup holds the last whole version, and its record says so.
        if (!st.unfinished.pending)
            st.unfinished = {true, j.backup, j.backup_leaf, j.backup_made, j.mark};
        if (sys::info_of(j.from, now))
            st.on_disk.file = now;
    } else if (j.how == landing::in_place && !j.keeping && (!j.mark.empty() || j.backup_fd != sys::no_handle)) {
        remove_marks(j); // untouched: the record made for this write goes
    }
    for (sys::handle fd : {j.rewritten, j.from, j.temp_fd, j.backup_fd, j.mark_fd})
        if (fd != sys::no_handle)
            sys::close_file(fd);
    for (auto [left, f] : {std::pair{&j.temp, &j.place}, std::pair{&j.mark_temp, &j.name_place}})
        if (!left->empty() && !sys::remove_in(*f, *left))
            j.fail(cant_remove, *left);
    sys::close_folder(j.place);
    sys::close_folder(j.name_place);
}

// A record of a rewrite of this very file that did not finish, believed:
// the user is told that the backup holds the last whole version. One that
// claims the file's number but is not believed is set aside. Both are
// decided under the write lock, taken for a moment, as a write decides: a
// record whose writer holds the lock is a write still going, not told of.
void tell_unfinished(editor_state& st, const sys::folder& place, const sys::folder& name_place,
                     const sys::file_info& info, FILE* out)
{
    sys::handle lock = sys::open_to_lock(place, sys::leaf_of(sys::real_path(st.file_name)));
    bool going = lock != sys::no_handle && sys::try_lock(lock) == sys::lock_result::busy;
    std::string backup_leaf = sys::leaf_of(backup_name(st.file_name));
    std::string leaf = sys::leaf_of(st.file_name);
    sys::file_info backup;
    bool held = !backup_leaf.empty() && sys::info_in(name_place, backup_leaf, backup);
    for (const record& r : going ? std::vector<record>{} : records_about(name_place, backup_leaf, info.owner)) {
        if (!r.torn || r.file.index != info.id.index)
            continue;
        if (!about(r, info.id, leaf) || !held || !believed(r, info.owner, backup_leaf, backup)) {
            std::fprintf(out, mark_set_aside, shown(r.name).c_str(), shown(r.file_leaf).c_str(), st.file_name.c_str());
        } else if (!st.unfinished.pending) {
            std::string shown_backup = sys::join(sys::real_path(name_place.path), backup_leaf);
            st.unfinished = {true, shown_backup, backup_leaf, backup, r.mark ? r.name : ""};
            std::fprintf(out, unfinished_found, st.file_name.c_str(), shown_backup.c_str());
        }
    }
    if (lock != sys::no_handle)
        sys::close_file(lock);
}

// Why the file as it stands cannot take the data back, asked or not;
// nullptr when it may.
const char* refusal(const editor_state& st)
{
    sys::file_info now;
    if (!sys::info_of_name(st.file_name, now))
        return !sys::failed_with(sys::failure::not_found) || st.window.whole_file ? nullptr : changed_refused;
    if (now.kind != sys::file_kind::regular)
        return not_regular;
    if (!st.window.whole_file && !sys::unchanged(now, st.on_disk.file))
        return changed_refused;
    return nullptr;
}

} // namespace

std::string backup_rule(const std::string& name)
{
    std::string backup = name;
    size_t dot = backup.find('.');
    if (dot != std::string::npos && dot + 1 < backup.size() && backup[dot + 1] != '7') {
        backup.erase(dot + 2, sys::character_at(backup, dot + 1) - 1);
        backup[dot + 1] = '7';
        return backup;
    }
    // No dot, a dot at the end, or x.7z, whose rule would give the name itself.
    size_t last_part = sys::leaf_of(backup).size();
    if (last_part + 1 > name_part_max && !backup.empty())
        backup.back() = '7';
    else
        backup += '7';
    return backup;
}

std::string backup_name(const std::string& file_name)
{
    std::string whole = backup_rule(file_name);
    if (sys::folder_of(whole) == sys::folder_of(file_name) && sys::leaf_of(whole).size() <= name_part_max)
        return whole;
    sys::file_info a, b;
    if (sys::info_of_name(sys::folder_of(whole), a) && sys::info_of_name(sys::folder_of(file_name), b) &&
        sys::same_file(a.id, b.id) && sys::leaf_of(whole).size() <= name_part_max)
        return whole;
    // The rule would leave the file's folder, or make a name longer than a
    // name may be: it is applied to the file's own name.
    std::string leaf = backup_rule(sys::leaf_of(file_name));
    if (leaf.size() > name_part_max || leaf == "7")
        return "";
    return file_name.substr(0, file_name.size() - sys::leaf_of(file_name).size()) + leaf;
}

void remember_loaded_file(editor_state& st, const sys::file_info& info, FILE* out)
{
    st.on_disk.file = info;
    sys::folder place, name_place;
    sys::file_info here, there;
    std::string name_folder = sys::folder_of(st.file_name);
    if (sys::open_folder(sys::folder_of(sys::real_path(st.file_name)), place) && sys::info_of(place.h, here))
        st.on_disk.folder = here.id;
    if (!sys::open_folder(name_folder, name_place) || !sys::info_of(name_place.h, there)) {
        sys::close_folder(place);
        return;
    }
    st.on_disk.name_folder = there.id;
    tell_unfinished(st, place, name_place, info, out);
    sys::close_folder(place);
    sys::close_folder(name_place);
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
    write_job j(st, in, out);
    sys::hold_ending_signals();
    bool ok = open_places(j) && take_file(j) && make_plan(j) && carry_out(j);
    settle(j);
    st.write_failed = !ok;
    if (int signal = sys::release_ending_signals()) {
        std::fflush(out);
        sys::end_by(signal);
    }
}
