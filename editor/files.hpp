// File operations the write is made of: whole writes, copies that keep a
// sparse file's holes, a temporary file beside another, a folder's sync.
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Writes all `size` bytes at `at`; false on a fault (errno tells), with
// `written` the bytes that made it.
bool write_all(int to, const unsigned char* bytes, size_t size, off_t at, size_t& written);

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only, by the kernel where it can: a hole stays a hole, and costs nothing.
// False on a fault, which errno tells; a source that does not hold all of
// those bytes is one (ENODATA).
bool copy_bytes(int from, off_t at, int to, off_t to_at, off_t size);

std::string folder_of(const std::string& path);
bool same_file(const std::string& a, const std::string& b);
bool same_folder(const std::string& a, const std::string& b);

// The file a name stands for: a symbolic link is followed, so that the file
// it points to is replaced and the link stays.
std::string target_of(const std::string& name);

// A new file beside `target`, to be renamed over it, with the owner, group
// and permission bits of `info` when given; -1 when the folder does not let
// one be made, or the process may not give it the owner the file has.
int temporary_beside(const std::string& target, const struct stat* info, std::string& temp);

// Opens a plain file of one link for writing, emptied, without following a
// link; -1 for anything else.
int open_plain_file(const std::string& name);

// Makes a rename or a new name in the folder of `path` last.
void sync_folder(const std::string& path);

// False when a file of `size` bytes is more than the process may write.
bool within_size_limit(off_t size);

// The permission bits of a new file: 0666 less the umask.
mode_t new_file_mode();
