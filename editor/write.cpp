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

// A mark: its first line for whoever finds one; then, for the editor, the
// identities of the file and of its backup as the rewrite found them, and
// their names in the mark's folder.
const char mark_head[] = "voxa: a rewrite in place did not finish; the backup named below holds the file named below whole.\n";
constexpr size_t mark_most = 8192;

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
// Marks of rewrites in place that did not finish.

struct mark {
    std::string name;          // beside the backup
    uint32_t owner = 0;        // who made it
    sys::file_id file;         // the file being rewritten
    std::string file_leaf;     // its name there
    sys::file_info backup;     // its backup, as made
    std::string backup_leaf;
};

} // namespace

std::string mark_text(const sys::file_id& file, const std::string& file_leaf, const sys::file_info& backup,
                      const std::string& backup_leaf)
{
    char numbers[256];
    int n = std::snprintf(numbers, sizeof numbers,
                          "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64
                          " %" PRId64 " %" PRId64 "\n",
                          file.device, file.index, file.birth, backup.id.device, backup.id.index, backup.id.birth,
                          backup.size, backup.modified, backup.changed);
    return mark_head + std::string(numbers, static_cast<size_t>(n)) + file_leaf + '\0' + backup_leaf + '\0';
}

namespace {

bool parse_mark(const char* text, size_t size, mark& m)
{
    size_t head = sizeof mark_head - 1;
    if (size <= head || std::memcmp(text, mark_head, head) != 0)
        return false;
    int used = 0;
    if (std::sscanf(text + head,
                    "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64
                    " %" SCNd64 "\n%n",
                    &m.file.device, &m.file.index, &m.file.birth, &m.backup.id.device, &m.backup.id.index,
                    &m.backup.id.birth, &m.backup.size, &m.backup.modified, &m.backup.changed, &used) != 9 ||
        used == 0)
        return false;
    const char* at = text + head + used;
    const char* end = text + size;
    const char* file_end = static_cast<const char*>(std::memchr(at, '\0', static_cast<size_t>(end - at)));
    if (file_end == nullptr)
        return false;
    const char* backup_end = static_cast<const char*>(std::memchr(file_end + 1, '\0', static_cast<size_t>(end - file_end - 1)));
    if (backup_end == nullptr)
        return false;
    m.file_leaf.assign(at, file_end);
    m.backup_leaf.assign(file_end + 1, backup_end);
    // Names in the mark's own folder, never a path that leads elsewhere.
    for (const std::string* leaf : {&m.file_leaf, &m.backup_leaf})
        if (leaf->empty() || *leaf == "." || *leaf == ".." || sys::leaf_of(*leaf) != *leaf)
            return false;
    return true;
}

// The marks in a folder whose maker is one of `trusted` (root always is):
// another user's cannot make the editor keep or refuse a backup.
std::vector<mark> marks_in(const sys::folder& f, std::initializer_list<uint32_t> trusted)
{
    std::vector<mark> found;
    static char text[mark_most];
    for (const std::string& name : sys::names_in(f, mark_prefix)) {
        sys::handle fd = sys::open_in(f, name, false);
        if (fd == sys::no_handle)
            continue;
        sys::file_info made;
        mark m;
        int64_t n = sys::info_of(fd, made) && made.links == 1 ? sys::read_some(fd, text, sizeof text - 1) : -1;
        sys::close_file(fd);
        text[std::max<int64_t>(n, 0)] = '\0'; // the numbers are read up to it at the most
        bool believed = made.owner == 0 || std::find(trusted.begin(), trusted.end(), made.owner) != trusted.end();
        if (n <= 0 || !believed || !parse_mark(text, static_cast<size_t>(n), m))
            continue;
        m.name = name;
        m.owner = made.owner;
        found.push_back(std::move(m));
    }
    return found;
}

// A mark is about the very file `name` stands for: the same device and
// number, and the same birth; where the file system keeps none, the same
// name as well, so that a file that took a torn one's number under another
// name is not taken for it.
bool about(const mark& m, const sys::file_id& file, const std::string& name)
{
    bool births = m.file.birth != 0 && file.birth != 0;
    return m.file.device == file.device && m.file.index == file.index &&
           (births ? m.file.birth == file.birth : m.file_leaf == sys::leaf_of(name));
}

// A mark holds only while its backup is the very file it recorded, untouched.
bool backup_untouched(const sys::folder& f, const mark& m)
{
    sys::file_info now;
    return sys::info_in(f, m.backup_leaf, now) && now.kind == sys::file_kind::regular && sys::unchanged(now, m.backup);
}

unfinished_write unfinished_from(const mark& m, const std::string& folder)
{
    return {true, sys::join(sys::real_path(folder), m.backup_leaf), m.backup_leaf, m.backup, m.name};
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
    bool needs_mark = false;         // a rewrite in place leaves a mark first
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

// Whether the backup's name can take the old file: never the file itself,
// never a folder, never a name that another user holds in a shared folder
// (the old contents would go into that user's file), and never a backup
// that a mark names as another file's last whole version.
bool backup_name_free(write_job& j)
{
    const std::string& name = j.st.file_name;
    j.backup = backup_name(name);
    j.backup_leaf = sys::leaf_of(j.backup);
    sys::file_info there, led_to;
    bool held = !j.backup.empty() && sys::info_in(j.backup_place(), j.backup_leaf, there);
    if (j.backup.empty())
        return j.refuse(no_backup_name, name);
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
    for (const mark& m : marks_in(j.backup_place(), {sys::user(), there.owner}))
        if (m.backup_leaf == j.backup_leaf && sys::unchanged(there, m.backup) && !about(m, j.old.id, name)) {
            std::fprintf(j.out, backup_held, j.backup.c_str(), m.file_leaf.c_str(), m.name.c_str(), name.c_str());
            return false; // the one message that names two files
        }
    return true;
}

// A rewrite of this very file that did not finish since the session loaded
// it (another session's, killed): its backup holds the last whole version,
// which this write keeps.
void adopt_unfinished(write_job& j)
{
    if (j.st.unfinished.pending)
        return;
    for (const mark& m : marks_in(j.backup_place(), {sys::user(), j.old.owner}))
        if (about(m, j.old.id, j.st.file_name) && backup_untouched(j.backup_place(), m)) {
            j.st.unfinished = unfinished_from(m, j.name_place.path);
            return;
        }
}

// The kept backup, which a mark or this session's torn rewrite names, must
// be the very file it was, untouched; for a part, the bytes around it are
// read from it.
bool keep_backup(write_job& j)
{
    const unfinished_write& u = j.st.unfinished;
    j.backup = u.backup;
    j.backup_leaf = u.backup_leaf;
    sys::file_info now;
    j.backup_fd = sys::open_in(j.backup_place(), u.backup_leaf, false);
    if (j.backup_fd == sys::no_handle)
        return j.refuse(cant_open, j.backup);
    if (!sys::info_of(j.backup_fd, now) || !sys::unchanged(now, u.backup_record) || now.links != 1)
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
        j.steps = {announce_gone, announce_writing, open_new_file_anew, write_new_file, land_anew, close_new_file,
                   remove_marks, flush_folders};
        return true;
    }
    adopt_unfinished(j);
    if (st.unfinished.pending ? !keep_backup(j) : !backup_name_free(j))
        return false;
    if (!sys::may_write(j.place, j.leaf))
        return j.refuse(cant_open, name); // a file the user may not write stays as it is
    // A file with other links is rewritten in place, so that they all see
    // the new bytes; so is one whose owner the process could not give a new
    // file. A rewrite in place leaves a mark first, unless the rewrite that
    // tore the file left one.
    j.how = j.old.links == 1 && sys::can_give_owner(j.old) ? landing::renamed : landing::in_place;
    bool kept = st.unfinished.pending;
    j.needs_mark = j.how == landing::in_place && !(kept && !st.unfinished.mark.empty());
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
    switch (j.how) {
    case landing::renamed:
        j.steps = {announce, announce_writing, open_new_file, write_new_file, check_still_there};
        if (j.fate == backup_fate::exchanged)
            j.steps.push_back(swap_in);
        else if (j.fate == backup_fate::copied)
            j.steps.insert(j.steps.end(), {copy_backup, put_in_place});
        else
            j.steps.push_back(put_in_place);
        j.steps.insert(j.steps.end(), {close_new_file, remove_marks, flush_folders});
        break;
    case landing::in_place:
        j.steps.clear();
        if (j.needs_mark)
            j.steps.push_back(open_mark);
        j.steps.push_back(announce);
        if (!kept)
            j.steps.push_back(copy_backup);
        j.steps.push_back(announce_writing);
        if (j.needs_mark)
            j.steps.push_back(put_mark);
        j.steps.insert(j.steps.end(), {check_still_there, rewrite, remove_marks});
        break;
    case landing::anew:
        break;
    }
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

// The new file, made beside the old one with its owner, group, bits and
// extended attributes.
bool open_new_file(write_job& j)
{
    j.temp_fd = sys::new_temporary(j.place, j.temp);
    if (j.temp_fd == sys::no_handle || !sys::give_attributes(j.temp_fd, j.from, j.old, j.old.mode, sys::owner_rule::required))
        return j.fail(cant_write, j.st.file_name);
    return true;
}

// The file written anew gets the bits it had.
bool open_new_file_anew(write_job& j)
{
    j.temp_fd = sys::new_temporary(j.place, j.temp);
    if (j.temp_fd == sys::no_handle || !sys::set_bits(j.temp_fd, j.st.on_disk.file.mode))
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
    switch (sys::swap_in(j.place, j.temp, j.leaf, j.backup_place(), j.backup_leaf, j.from, j.old.mode, old_at)) {
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

// Copies the old file to a new file at the backup's name, with the file's
// owner and group where the process may give them, its bits less set-id,
// and its extended attributes; flushed before the file is touched. Whatever
// held the name stays until the copy is whole.
bool copy_backup(write_job& j)
{
    std::string temp;
    sys::handle fd = sys::new_temporary(j.backup_place(), temp);
    int64_t size = j.old.size;
    bool whole = false;
    {
        progress shown(j.terminal, size);
        whole = fd != sys::no_handle && sys::within_size_limit(size) &&
                sys::give_attributes(fd, j.from, j.old, j.old.mode & 0777, sys::owner_rule::where_possible) &&
                copy_bytes(j.from, 0, fd, 0, size, &shown);
    }
    whole = whole && sys::carry_on() && sys::set_size(fd, size) && sys::flush(fd) &&
            sys::rename_in(j.backup_place(), temp, j.backup_place(), j.backup_leaf, sys::rename_how::replace) &&
            sys::flush_folder(j.backup_place()) && sys::info_of(fd, j.backup_made);
    if (!whole) {
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
    std::string text = mark_text(j.old.id, j.name_leaf, j.backup_made, j.backup_leaf);
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
// new bytes.
bool rewrite(write_job& j)
{
    sys::handle to = sys::open_in(j.place, j.leaf, true);
    sys::file_info info;
    if (to == sys::no_handle || !sys::info_of(to, info) || !sys::same_file(info.id, j.old.id)) {
        if (to != sys::no_handle)
            sys::close_file(to);
        return j.refuse(cant_open, j.st.file_name);
    }
    bool ok = write_bytes(j, to);
    if (!sys::close_file(to) && ok)
        ok = j.fail(cant_write, j.st.file_name);
    j.landed = ok;
    return ok;
}

// The file is whole: the marks of its rewrite go.
bool remove_marks(write_job& j)
{
    for (const std::string* mark : {&j.mark, &j.st.unfinished.mark}) {
        if (mark->empty() || (mark == &j.st.unfinished.mark && *mark == j.mark))
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
        // Torn: its backup holds the last whole version, and the mark says so.
        if (!st.unfinished.pending)
            st.unfinished = {true, j.backup, j.backup_leaf, j.backup_made, j.mark};
        if (sys::info_of(j.from, now))
            st.on_disk.file = now;
    } else if (!j.mark.empty() && !sys::remove_in(j.backup_place(), j.mark)) {
        j.fail(cant_remove, j.mark); // untouched: the mark made for this write goes
    }
    for (sys::handle fd : {j.from, j.temp_fd, j.backup_fd, j.mark_fd})
        if (fd != sys::no_handle)
            sys::close_file(fd);
    for (auto [left, f] : {std::pair{&j.temp, &j.place}, std::pair{&j.mark_temp, &j.name_place}})
        if (!left->empty() && !sys::remove_in(*f, *left))
            j.fail(cant_remove, *left);
    sys::close_folder(j.place);
    sys::close_folder(j.name_place);
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
    // A mark beside the backup that this file's owner, this user or root
    // made, about this very file, whose backup is untouched since: the
    // rewrite it tells of did not finish. One that claims the file's number
    // but matches neither the file nor its backup is set aside.
    for (const mark& m : marks_in(name_place, {info.owner, sys::user()})) {
        if (m.file.device != info.id.device || m.file.index != info.id.index)
            continue;
        if (about(m, info.id, st.file_name) && backup_untouched(name_place, m) && !st.unfinished.pending) {
            st.unfinished = unfinished_from(m, name_folder);
            std::fprintf(out, unfinished_found, st.file_name.c_str(), st.unfinished.backup.c_str());
        } else if (!st.unfinished.pending || st.unfinished.mark != m.name) {
            std::fprintf(out, mark_set_aside, m.name.c_str(), m.file_leaf.c_str(), st.file_name.c_str());
        }
    }
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
