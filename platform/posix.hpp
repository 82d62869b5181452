// The POSIX implementation's own parts that differ from one system to the
// next: Linux has calls of its own for them (linux.cpp), any other system
// makes do with POSIX.1-2008 and what it documents (portable.cpp).
#pragma once

#include <string>
#include <sys/stat.h>

#include "platform.hpp"

namespace sys::posix {

// The errno of a failure that the calls below report.
bool failed();

// A file's information, its birth where the system tells it: of an open
// file (name nullptr), or of a name in the folder `at`.
bool stat_file(int at, const char* name, file_info& info, bool follow);
file_info info_from(const struct stat& s);

// A rename that keeps what holds the new name: -1, EEXIST, when one does.
int rename_keeping(int from, const char* a, int to, const char* b);
// A rename that keeps what holds the new name, made of a new name and the
// old one's removal; nothing changed when it fails.
int link_then_unlink(int from, const char* a, int to, const char* b);
bool exchange_supported(int folder);
swap_result swap_names(int folder, const char* leaf, const char* target, int backup_folder, const char* backup_leaf,
                       int old, uint32_t bits, const std::string& record, std::string& old_at);

// Copies in the kernel: the bytes copied, 0 when `from` ended first, -1 on
// a fault, -2 where the kernel cannot copy between these two files.
int64_t system_copy(int from, int64_t at, int to, int64_t to_at, int64_t n);
bool share(int from, int64_t at, int to, int64_t to_at, int64_t n, bool& can_share);
// Copies the extended attributes of `from` to `to`, but a write's record.
bool copy_attributes(int from, int to);
// A write's record (platform.hpp): whether the file system of `fd` keeps
// them; the record of `fd` (false, errno ENODATA, when there is none); set
// or removed (an empty text).
bool records_supported(int fd);
bool get_record(int fd, std::string& text);
bool set_record(int fd, const std::string& text);

// The write lock: 0, or -1 with errno (EWOULDBLOCK while another holds it).
int lock(int fd, bool wait);
// The lock needs a descriptor open for writing.
bool lock_writes();
bool flush_fd(int fd);

// SEEK_DATA and SEEK_HOLE, where the system has them (-1, EINVAL where not).
int64_t seek_data(int fd, int64_t at);
int64_t seek_hole(int fd, int64_t at);
void advise_sequential(int fd);

std::string own_path(); // the running program, empty when unknown
// The large buffer's memory, all zeros; pages given back (reading as zeros
// again, where the system promises it); the hint of huge pages.
void* reserve(size_t size);
void unreserve(void* at, size_t size);
bool give_back(void* at, size_t n);
void huge_pages(void* at, size_t n);
// Output without the stream's lock, where the library has it.
void put_bytes(FILE* out, const char* bytes, size_t n);

} // namespace sys::posix
