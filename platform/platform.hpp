// What the two programs ask of the system, in one place: files and the
// folders they lie in, a file's identity, the write lock, the large buffer,
// the terminal or console and its Ctrl-C, the signals that end a write, the
// program's own folder and the standard files. Each system has its own
// implementation of it, chosen when the programs are built (Linux, any
// POSIX system, Windows); the programs' own code sees only this.
//
// What a write promises, whatever the system (each implementation says
// how it keeps it, or where it cannot):
//   - a file is replaced by a new one in one step: at every moment its name
//     leads to the old file or to the new one, whole (flush, then rename);
//   - after flush() and flush_folder() the bytes and the name survive a
//     power cut;
//   - an old file kept as the backup is the old file itself where the
//     system can move it to the backup's name as the new one takes its
//     place (can_exchange, swap_in), else a copy made before the file is
//     touched;
//   - the write lock keeps every other write of the file by the editor out;
//   - nothing outside the file, its backup and the write's own temporary
//     files and mark is created, written or removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

// ---------------------------------------------------------------------------
// Failures. A call below that fails returns false (or no_handle, or -1) and
// keeps the system's reason, which failure_text() gives in the system's own
// words until the next call that fails.

enum class failure {
    other,
    not_found,   // no file of that name
    exists,      // a file holds the name
    busy,        // another program holds the file open without sharing it
    interrupted, // Ctrl-C, or a signal that ends a write
    too_large,   // more than the process may write
    short_source // a file gave fewer bytes than it was to give: it changed
};

std::string failure_text();
bool failed_with(failure kind);
// Records a failure of the caller's own; returns false.
bool fail(failure kind);

// ---------------------------------------------------------------------------
// Files and what identifies them.

using handle = std::intptr_t;
inline constexpr handle no_handle = -1;

// A file, whatever its names: its file system (the volume's serial number
// on Windows), its number there (inode, file index), and its birth, which
// tells a file from a later one that got the same number; 0 where the file
// system keeps none.
struct file_id {
    uint64_t device = 0;
    uint64_t index = 0;
    uint64_t birth = 0;
};
// Device and number, and the birth where both know one.
bool same_file(const file_id& a, const file_id& b);

enum class file_kind : uint8_t { none, regular, folder, link, pipe, device };

struct file_info {
    file_id id;
    file_kind kind = file_kind::none;
    int64_t size = 0;
    int64_t modified = 0; // nanoseconds since 1970
    int64_t changed = 0;  // the status change, which no user can set back
    uint32_t mode = 0;    // permission bits
    uint32_t links = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
};
// Whether `now` is the very file of `then`, untouched since.
bool unchanged(const file_info& now, const file_info& then);

// Opens a file to read; no_handle when it cannot be opened. A named pipe
// is waited on for a writer only when `wait` says so; its reads wait.
handle open_to_read(const std::string& name, bool wait = false);
bool info_of(handle file, file_info& info);
// What a name leads to (a symbolic link followed, or not).
bool info_of_name(const std::string& name, file_info& info, bool follow = true);
bool exists(const std::string& name);
bool close_file(handle file);

// Reads up to n bytes where the file stands; 0 at its end, -1 on a fault.
int64_t read_some(handle file, void* into, size_t n);
// Reads all n bytes from `at` (short_source when the file ends first).
bool read_at(handle file, void* into, size_t n, int64_t at);
// Writes all n bytes at `at`; `written` says how many made it.
bool write_at(handle file, const void* bytes, size_t n, int64_t at, size_t& written);
int64_t position(handle file);
bool move_to(handle file, int64_t at);
// A sparse file's runs: the first byte of data at or after `at` (`at`
// itself where the system knows no holes; the size when only a hole
// follows), and the first byte of the hole after it (the size when none).
int64_t data_from(handle file, int64_t at);
int64_t hole_from(handle file, int64_t at);
// The file will be read from start to end: read ahead further.
void read_ahead(handle file);
// Gives the file `size` bytes; one of that size already is left alone (a
// file system that shares blocks would take the change as a write).
bool set_size(handle file, int64_t size);
// To the disk.
bool flush(handle file);
// The size of a block that the file system shares or writes whole.
int64_t block_size(handle file);

// Copies up to n bytes by the system's own means: the bytes copied, 0 when
// `from` ended first, -1 on a fault, -2 where the system has no means for
// these two files (then they are copied by hand).
int64_t copy_in_system(handle from, int64_t at, handle to, int64_t to_at, int64_t n);
// Makes n bytes of `to` the same blocks as those of `from`, taking no room:
// true when shared, false when the file system cannot (failed_with other).
bool share_blocks(handle from, int64_t at, handle to, int64_t to_at, int64_t n, bool& can_share);

// ---------------------------------------------------------------------------
// Names and folders.

// The folder a path's last part lies in ("." when it names none), and that
// last part. A drive letter or a network share belongs to the folder.
std::string folder_of(const std::string& path);
std::string leaf_of(const std::string& path);
std::string join(const std::string& folder, const std::string& leaf);
// The bytes of the character of a name that starts at `at`: one byte where
// names are bytes, a whole UTF-8 sequence where they are text (Windows).
size_t character_at(const std::string& name, size_t at);
// The file a name stands for, every symbolic link followed; the name
// itself when that cannot be found.
std::string real_path(const std::string& name);

// A folder held open: every step of a write is taken in it, whatever
// becomes of the path it was opened by.
struct folder {
    handle h = no_handle;
    std::string path; // as opened
};
bool open_folder(const std::string& path, folder& into);
void close_folder(folder& f);
bool flush_folder(const folder& f);
// What a name in the folder is: the name itself, or what a link leads to.
bool info_in(const folder& f, const std::string& leaf, file_info& info, bool follow = false);
// Opens a regular file of the folder, a link not followed, without waiting
// should it be something else: no_handle, and not_found or other, for
// anything but a regular file.
handle open_in(const folder& f, const std::string& leaf, bool for_writing);
// Six characters that no one can tell beforehand, for a name of one's own.
std::string random_tail();
// A new, empty file that only this user may read, at a name no one could
// take beforehand: ".voxa-" and a random tail.
handle new_temporary(const folder& f, std::string& leaf);
enum class rename_how { replace, keep_existing };
bool rename_in(const folder& from, const std::string& leaf, const folder& to, const std::string& new_leaf,
               rename_how how);
// True when the name is gone, or was not there.
bool remove_in(const folder& f, const std::string& leaf);
// The folder's names that begin with `prefix`.
std::vector<std::string> names_in(const folder& f, std::string_view prefix);
// Whether the system can put a new file in an old one's place while the old
// file itself takes the backup's name (swap_in).
bool can_exchange(const folder& f);
// Puts the new file `leaf` in the place of `target`, the old one (open as
// `old`, with `bits`) taking the name `backup_leaf` in `backup_place`; the
// backup never keeps set-id bits, and takes the name with `record` set on
// it, where records are kept (a record that cannot be set is left out).
// What became of the names:
enum class swap_result {
    done,
    nothing_changed, // the reason kept
    backup_refused,  // the old file could not take the backup's name: all is as it was
    old_left,        // the old file could not be put back: it is at `old_at`, in `f`
    both_left        // the new file could not take the name, nor the old one be put back:
                     // the old file is at `old_at`, the new one still at `leaf`, in `f`
};
swap_result swap_in(const folder& f, const std::string& leaf, const std::string& target, const folder& backup_place,
                    const std::string& backup_leaf, handle old, uint32_t bits, const std::string& record,
                    std::string& old_at);
// Whether this process may put a file of its own at a name of the folder:
// not when the folder takes no new name (the reason kept), nor when another
// user's file holds the name where each user may remove only their own.
enum class replace_right { may, folder_refuses, held_by_other };
replace_right may_replace(const folder& f, const std::string& leaf);
// Whether the user may open the file for writing.
bool may_write(const folder& f, const std::string& leaf);

// ---------------------------------------------------------------------------
// A write's record on a file: a short text that travels with the file
// through its renames and costs no read of the folder (an extended
// attribute), where the file system keeps such things. A record can be
// set by whoever may write the file.

// Whether the files of the folder can carry records.
bool records_kept(const folder& f);
// The record on the regular file `leaf` of the folder, a link not
// followed, and the file as it was read: false when there is none or it
// cannot be read.
bool read_record(const folder& f, const std::string& leaf, std::string& text, file_info& info);
// Sets the record of an open file; an empty text removes it.
bool write_record(handle file, const std::string& text);

// ---------------------------------------------------------------------------
// The write lock, which every write of the editor takes on the file.

enum class lock_result { locked, busy, failed };
// Opens a regular file of the folder to read and to take the lock on, as
// open_in does (for writing too where the system's lock needs it).
handle open_to_lock(const folder& f, const std::string& leaf);
lock_result try_lock(handle file);
// Waits for it; false when Ctrl-C or a signal that ends a write came first
// (interrupted), or on a fault.
bool wait_lock(handle file);

// ---------------------------------------------------------------------------
// What a file carries besides its bytes.

uint32_t user(); // the user this process writes as
// Whether a file this process makes can be given the owner and group of `of`.
bool can_give_owner(const file_info& of);
enum class owner_rule {
    required,      // false when the owner and group cannot be given
    where_possible // else the group bits are cleared when the group cannot be given
};
// Gives `to` the owner and group of `info`, `bits` as its permission bits,
// and the extended attributes of `from` (access lists among them).
bool give_attributes(handle to, handle from, const file_info& info, uint32_t bits, owner_rule rule);
// Whether `made` carries the access list of `old`: false only where the
// file system would not take it and the write went on without it (a share
// on Windows); elsewhere giving it is part of give_attributes, or there is
// none to give.
bool access_list_kept(handle made, handle old);
bool set_bits(handle file, uint32_t bits);
inline constexpr uint32_t set_id_bits = 06000;
// Permission bits as a new file gets them.
uint32_t less_umask(uint32_t bits);
// False when a file of `size` bytes is more than the process may write.
bool within_size_limit(int64_t size);

// ---------------------------------------------------------------------------
// The large buffer: memory that reads as zeros and takes no room until it
// is written.

void* reserve_zeroed(size_t size, size_t& reserved);
void release(void* at, size_t reserved);
// Gives back whole pages of [at, at + n), which read as zeros again; false
// when it cannot.
bool give_back(void* at, size_t n);
void prefer_huge_pages(void* at, size_t n);
size_t page_size();

// ---------------------------------------------------------------------------
// The process, its terminal or console, and its signals.

// At start: standard files that are closed are opened on the null device
// (what is printed must not land in a file opened later), a reader that
// goes away or a file size limit gives a failure instead of ending the
// program, and a console shows and takes UTF-8.
void prepare_process();
// The arguments, in UTF-8.
std::vector<std::string> arguments(int argc, char** argv);
// Standard input and output are a terminal, or a console.
bool interactive();
// At a terminal: Ctrl-C interrupts the read of a line instead of ending the program.
void catch_interrupts();
// Whether a Ctrl-C came since the last call.
bool take_interrupt();
// Reads what standard input has next, up to n bytes: 0 at its end, -1 on
// a fault; `interrupted` when Ctrl-C came first.
int64_t read_input(void* into, size_t n, bool& interrupted);
// The folder the running program lies in, empty when unknown.
std::string program_folder();
// Runs `program` in place of this one, with the same arguments; returns
// only when it cannot.
void run_instead(const std::string& program, char** argv);
void put_bytes(FILE* out, const char* bytes, size_t n);
void put_char(FILE* out, char c);
int64_t now_ms(); // a clock for durations

// While a write runs, the signals that would end the program (a hang-up, a
// termination, Ctrl-C in a script) are held: the write stops at its next
// step and cleans up after itself. Afterwards the program ends as the
// signal would have ended it.
void hold_ending_signals();
// A held signal came (or Ctrl-C, at a terminal).
bool stop_asked();
// False, with the failure interrupted, once one did: the write stops there.
bool carry_on();
// Ends the holding; the signal that came, 0 when none did.
int release_ending_signals();
[[noreturn]] void end_by(int signal);

} // namespace sys
