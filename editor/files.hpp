// Landing a file: whole writes, copies that keep a sparse file's holes and
// share blocks where the file system can, a new file beside another that
// takes its place with the old one's owner, bits and extended attributes,
// a folder's sync. The editor's write and the copy tool both land their
// files through these.
#pragma once

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Writes all `size` bytes at `at`; false on a fault (errno tells), with
// `written` the bytes that made it.
bool write_all(int to, const unsigned char* bytes, size_t size, off_t at, size_t& written);

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only, by the kernel where it can: a hole stays a hole, and costs nothing.
// Where the file system can share blocks between files (XFS with reflink,
// btrfs) and the two offsets differ by whole blocks, the whole blocks are
// shared, not copied: they take no room and no time. False on a fault,
// which errno tells; a source that does not hold all of those bytes is one
// (ENODATA).
bool copy_bytes(int from, off_t at, int to, off_t to_at, off_t size);

// Writes to `to` the first `length` bytes of `from` with the `size` bytes
// from `at` on replaced by `bytes`, in order: a block that the new bytes
// leave as it was is taken from `from` as copy_bytes takes it (a hole
// stays a hole, a block is shared where it can be), and only the blocks
// that differ are written. `written`: how many of the new bytes are in
// place, in order, when it stops.
bool write_over(int from, int to, off_t length, const unsigned char* bytes, size_t size, off_t at, size_t& written);

// Gives the file `size` bytes. A file of that size already is left alone:
// a file system that shares blocks would take the truncate as a write of
// its last block, and stop sharing it.
bool set_size(int fd, off_t size);

// The copies that follow show their progress on `out` (a terminal) once
// they have run a second, as a percentage of `total` bytes on one line that
// is rewritten in place and blanked at the end; nullptr shows nothing.
void show_progress(FILE* out, off_t total);
void end_progress();

std::string folder_of(const std::string& path);
std::string leaf_of(const std::string& path); // the last part of a path
bool same_file(const std::string& a, const std::string& b);
bool same_folder(const std::string& a, const std::string& b);

// The file a name stands for: a symbolic link is followed, so that the file
// it points to is replaced and the link stays.
std::string target_of(const std::string& name);

// A new, empty, private file beside `target`, opened for reading and
// writing, its name in `temp` (.voxa- and six characters); -1 with errno
// when the folder takes no new file.
int temporary_beside(const std::string& target, std::string& temp);

// What a file made to take another's place, or to keep its old contents,
// gets of it: its owner and group, `bits` as permission bits, and its
// extended attributes (POSIX ACLs among them).
enum class owner_rule {
    required,      // false when the process may not give the owner and group
    where_possible // else the group bits are cleared when the group cannot be given
};
bool give_attributes(int to, int from, const struct stat& info, mode_t bits, owner_rule rule);

// Removes a file; true when it is gone.
bool remove_file(const std::string& name);

// Makes a rename or a new name in the folder of `path` last; false, with
// errno, when it cannot be made sure of.
bool sync_folder(const std::string& path);

// Why the process may not put another file at `name`, or 0 when it may:
// EACCES when the folder lets no name be made there, EPERM when what holds
// the name belongs to another user in a shared folder (the sticky bit lets
// each user remove only their own).
int why_not_replaceable(const std::string& name);

// False when a file of `size` bytes is more than the process may write.
bool within_size_limit(off_t size);

// Permission bits as a new file gets them: less the umask.
mode_t less_umask(mode_t bits);
