// The system layer on Windows, with the Win32 calls themselves: names in
// UTF-8 inside, UTF-16 and long paths (\\?\) at every call; a file's
// identity from its volume's serial number and its file ID; the write lock
// on one byte far past any data (LockFileEx locks exclude reads and writes
// through other handles, so none is taken where data lies); a new file put
// in place by renames through handles, each waiting out another program's
// passing hold on the file; the console's own line editing and history.
//
// What Windows does not give and the write does without: holes are not
// looked for (a sparse file's zeros are read and written), nothing is
// shared between files, a folder cannot be flushed (Windows documents no
// way to: the file that takes a name is flushed after its rename instead),
// and there are no set-id bits or owners to give.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <aclapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <io.h>
#include <utility>
#include <vector>

#include "platform.hpp"

namespace sys {

namespace {

DWORD last_error = 0;

bool failed()
{
    last_error = GetLastError();
    return false;
}

bool failed(DWORD code)
{
    last_error = code;
    return false;
}

HANDLE win(handle h)
{
    return reinterpret_cast<HANDLE>(h);
}

handle ours(HANDLE h)
{
    return h == INVALID_HANDLE_VALUE ? no_handle : reinterpret_cast<handle>(h);
}

std::wstring wide(const std::string& text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), w.data(), n);
    return w;
}

std::string narrow(const wchar_t* text, size_t size)
{
    if (size == 0)
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), s.data(), n, nullptr, nullptr);
    return s;
}

std::string narrow(const std::wstring& text)
{
    return narrow(text.data(), text.size());
}

// A name as the wide calls take it: absolute, and long (\\?\), so that no
// length limit of old applies; a device's name (\\.\) as it is.
std::wstring long_name(const std::string& name)
{
    std::wstring w = wide(name);
    if (w.rfind(L"\\\\?\\", 0) == 0 || w.rfind(L"\\\\.\\", 0) == 0)
        return w;
    DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (full.rfind(L"\\\\.\\", 0) == 0)
        return full;
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// A path as a person writes it: without the long prefix.
std::string plain(std::wstring w)
{
    if (w.rfind(L"\\\\?\\UNC\\", 0) == 0)
        w = L"\\\\" + w.substr(8);
    else if (w.rfind(L"\\\\?\\", 0) == 0)
        w = w.substr(4);
    return narrow(w);
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int64_t nanoseconds(LARGE_INTEGER t)
{
    return (t.QuadPart - 116444736000000000LL) * 100; // from 1601 in tenths of microseconds
}

int64_t nanoseconds(FILETIME t)
{
    LARGE_INTEGER v;
    v.LowPart = t.dwLowDateTime;
    v.HighPart = static_cast<LONG>(t.dwHighDateTime);
    return nanoseconds(v);
}

} // namespace

// ---------------------------------------------------------------------------
// Failures.

std::string failure_text()
{
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, last_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string said = n > 0 ? narrow(text, n) : "error " + std::to_string(last_error);
    LocalFree(text);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ' || said.back() == '.'))
        said.pop_back();
    return said;
}

namespace {

// The system's errors that stand for each kind of failure, the first the one
// a failure of the programs' own is given.
constexpr std::pair<failure, DWORD> codes[] = {
    {failure::not_found, ERROR_FILE_NOT_FOUND}, {failure::not_found, ERROR_PATH_NOT_FOUND},
    {failure::exists, ERROR_FILE_EXISTS},       {failure::exists, ERROR_ALREADY_EXISTS},
    {failure::busy, ERROR_SHARING_VIOLATION},   {failure::busy, ERROR_LOCK_VIOLATION},
    {failure::interrupted, ERROR_OPERATION_ABORTED}, {failure::too_large, ERROR_FILE_TOO_LARGE},
    {failure::short_source, ERROR_HANDLE_EOF}};

} // namespace

bool failed_with(failure kind)
{
    for (auto [k, code] : codes)
        if (last_error == code)
            return k == kind;
    return kind == failure::other;
}

bool fail(failure kind)
{
    for (auto [k, code] : codes)
        if (k == kind)
            return failed(code);
    return failed(ERROR_GEN_FAILURE);
}

// ---------------------------------------------------------------------------
// Files.

namespace {

// A file is a link only when its reparse point stands for a name: a
// symbolic link, a junction, a mount point. Others carry data for a driver
// and are files as any program sees them: OneDrive's placeholders (Files
// On-Demand), deduplicated and compressed (WOF) files. "Name surrogate: the
// file or directory represents another named entity in the system"
// (IsReparseTagNameSurrogate, Reparse Point Tags, learn.microsoft.com:
// windows/win32/fileio/reparse-point-tags); the tag comes from
// GetFileInformationByHandleEx with FileAttributeTagInfo.
bool is_link(HANDLE h, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    FILE_ATTRIBUTE_TAG_INFO tag {};
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag))
        return true; // no tag to tell: taken for a link, never followed
    return IsReparseTagNameSurrogate(tag.ReparseTag) != 0;
}

// A file's identity: the volume and the file ID of FileIdInfo. "The ReFS
// file system ... includes 128-bit file identifiers ... The 64-bit
// identifier in this structure is not guaranteed to be unique on ReFS"
// (BY_HANDLE_FILE_INFORMATION, learn.microsoft.com:
// windows/win32/api/fileapi/ns-fileapi-by_handle_file_information). The
// upper half, 0 on NTFS, goes where other systems keep a file's birth: a
// file that shares the lower half with another is told from it by the
// upper. The 64-bit index only where FileIdInfo is missing or gives 0. On
// FAT "renaming a file ... can also change the file ID" (the same page):
// the write takes its new file's identity after the rename, through the
// handle it wrote the file with.
file_id identity(HANDLE h, const BY_HANDLE_FILE_INFORMATION& about)
{
    file_id id {about.dwVolumeSerialNumber, uint64_t{about.nFileIndexHigh} << 32 | about.nFileIndexLow, 0};
    FILE_ID_INFO full {};
    if (GetFileInformationByHandleEx(h, FileIdInfo, &full, sizeof full)) {
        uint64_t low = 0, high = 0;
        std::memcpy(&low, full.FileId.Identifier, sizeof low);
        std::memcpy(&high, full.FileId.Identifier + sizeof low, sizeof high);
        id.device = full.VolumeSerialNumber;
        if (low != 0 || high != 0) {
            id.index = low;
            id.birth = high;
        }
    }
    // Wine gives no volume for a handle whose file another handle renamed
    // (it looks the volume up by the name the handle was opened by): the
    // volume of that name's folder, which is the same.
    wchar_t path[32768];
    DWORD n = id.device == 0 ? GetFinalPathNameByHandleW(h, path, 32768, VOLUME_NAME_DOS) : 0;
    HANDLE folder = n > 0 && n < 32768 ? CreateFileW(long_name(folder_of(plain(std::wstring(path, n)))).c_str(),
                                                     FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                                       : INVALID_HANDLE_VALUE;
    if (folder != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandleEx(folder, FileIdInfo, &full, sizeof full))
            id.device = full.VolumeSerialNumber;
        CloseHandle(folder);
    }
    return id;
}

} // namespace

bool info_of(handle file, file_info& info)
{
    info = {};
    DWORD type = GetFileType(win(file));
    if (type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR) {
        info.kind = type == FILE_TYPE_PIPE ? file_kind::pipe : file_kind::device;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION about {};
    if (!GetFileInformationByHandle(win(file), &about))
        return failed();
    // No birth of its own: the creation time can be set by anyone, and
    // NTFS's file ID carries a sequence number that changes when its record
    // is reused.
    info.id = identity(win(file), about);
    info.kind = is_link(win(file), about.dwFileAttributes)                     ? file_kind::link
                : (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? file_kind::folder
                                                                             : file_kind::regular;
    info.size = static_cast<int64_t>(uint64_t{about.nFileSizeHigh} << 32 | about.nFileSizeLow);
    info.modified = nanoseconds(about.ftLastWriteTime);
    FILE_BASIC_INFO basic {};
    info.changed = GetFileInformationByHandleEx(win(file), FileBasicInfo, &basic, sizeof basic)
                       ? nanoseconds(basic.ChangeTime)
                       : info.modified;
    info.mode = (about.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    info.links = about.nNumberOfLinks;
    return true;
}

namespace {

HANDLE open_name(const std::string& name, DWORD access, DWORD how, DWORD flags)
{
    HANDLE h = CreateFileW(long_name(name).c_str(), access, share_all, nullptr, how, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        failed();
    return h;
}

} // namespace

handle open_to_read(const std::string& name, bool)
{
    return ours(open_name(name, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
}

bool info_of_name(const std::string& name, file_info& info, bool follow)
{
    HANDLE h = open_name(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool known = info_of(ours(h), info);
    CloseHandle(h);
    return known;
}

bool exists(const std::string& name)
{
    return GetFileAttributesW(long_name(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool close_file(handle file)
{
    return CloseHandle(win(file)) || failed();
}

int64_t read_some(handle file, void* into, size_t n)
{
    DWORD got = 0;
    if (ReadFile(win(file), into, static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), &got, nullptr))
        return got;
    if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF)
        return 0; // a pipe whose writer is gone: its end
    failed();
    return -1;
}

namespace {

// The place in the file where a read or a write through a handle begins.
OVERLAPPED offset(int64_t at)
{
    OVERLAPPED where {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    return where;
}

} // namespace

bool read_at(handle file, void* into, size_t n, int64_t at)
{
    auto* bytes = static_cast<unsigned char*>(into);
    size_t got = 0;
    while (got < n) {
        OVERLAPPED where = offset(at + static_cast<int64_t>(got));
        DWORD piece = 0;
        if (!ReadFile(win(file), bytes + got, static_cast<DWORD>(std::min<size_t>(n - got, 1u << 30)), &piece, &where))
            return GetLastError() == ERROR_HANDLE_EOF ? fail(failure::short_source) : failed();
        if (piece == 0)
            return fail(failure::short_source);
        got += piece;
    }
    return true;
}

bool write_at(handle file, const void* bytes, size_t n, int64_t at, size_t& written)
{
    const auto* from = static_cast<const unsigned char*>(bytes);
    written = 0;
    while (written < n) {
        OVERLAPPED where = offset(at + static_cast<int64_t>(written));
        DWORD put = 0;
        if (!WriteFile(win(file), from + written, static_cast<DWORD>(std::min<size_t>(n - written, 1u << 30)), &put, &where))
            return failed();
        if (put == 0)
            return fail(failure::other);
        written += put;
    }
    return true;
}

int64_t position(handle file)
{
    LARGE_INTEGER none {}, at {};
    if (!SetFilePointerEx(win(file), none, &at, FILE_CURRENT))
        return failed(), -1;
    return at.QuadPart;
}

bool move_to(handle file, int64_t at)
{
    LARGE_INTEGER to {};
    to.QuadPart = at;
    return SetFilePointerEx(win(file), to, nullptr, FILE_BEGIN) || failed();
}

int64_t data_from(handle, int64_t at)
{
    return at; // no holes are looked for
}

int64_t hole_from(handle file, int64_t at)
{
    file_info info;
    return info_of(file, info) ? std::max(at, info.size) : at;
}

void read_ahead(handle) {}

bool set_size(handle file, int64_t size)
{
    file_info info;
    if (info_of(file, info) && info.size == size)
        return true;
    FILE_END_OF_FILE_INFO end {};
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(win(file), FileEndOfFileInfo, &end, sizeof end) || failed();
}

bool flush(handle file)
{
    return FlushFileBuffers(win(file)) || failed();
}

int64_t block_size(handle)
{
    return 4096;
}

int64_t copy_in_system(handle, int64_t, handle, int64_t, int64_t)
{
    return -2; // copied by hand
}

bool share_blocks(handle, int64_t, handle, int64_t, int64_t, bool& can_share)
{
    can_share = false;
    return failed(ERROR_NOT_SUPPORTED);
}

// ---------------------------------------------------------------------------
// Names and folders.

namespace {

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

} // namespace

namespace {

// How much of a path names its root: a drive (C: or C:\), a network share
// (\\server\share\), or nothing.
size_t root_of(const std::string& path)
{
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return path.size() > 2 && is_separator(path[2]) ? 3 : 2;
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        size_t server = path.find_first_of("/\\", 2);
        size_t share = server == std::string::npos ? std::string::npos : path.find_first_of("/\\", server + 1);
        return share == std::string::npos ? path.size() : share + 1;
    }
    return is_separator(path.empty() ? 'x' : path[0]) ? 1 : 0;
}

size_t last_separator(const std::string& path)
{
    size_t at = path.find_last_of("/\\");
    size_t root = root_of(path);
    return at == std::string::npos || at + 1 < root ? std::string::npos : at;
}

} // namespace

std::string folder_of(const std::string& path)
{
    size_t root = root_of(path);
    size_t at = last_separator(path);
    if (at == std::string::npos || at + 1 <= root)
        return root > 0 ? path.substr(0, root) : ".";
    return path.substr(0, at);
}

std::string leaf_of(const std::string& path)
{
    size_t at = last_separator(path);
    size_t root = root_of(path);
    return path.substr(at == std::string::npos ? root : std::max(at + 1, root));
}

std::string join(const std::string& folder, const std::string& leaf)
{
    if (folder.empty() || is_separator(folder.back()) || (folder.size() == 2 && folder[1] == ':'))
        return folder + leaf;
    return folder + "\\" + leaf;
}

size_t character_at(const std::string& name, size_t at)
{
    size_t n = 1;
    while (at + n < name.size() && (static_cast<unsigned char>(name[at + n]) & 0xc0) == 0x80)
        ++n; // the bytes that go on a UTF-8 sequence
    return n;
}

std::string real_path(const std::string& name)
{
    HANDLE h = open_name(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE)
        return name;
    wchar_t found[32768];
    DWORD n = GetFinalPathNameByHandleW(h, found, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    return n > 0 && n < 32768 ? plain(std::wstring(found, n)) : name;
}

bool open_folder(const std::string& path, folder& into)
{
    // Held without sharing its deletion: while the write goes on, no one can
    // rename the folder, nor remove it.
    HANDLE h = CreateFileW(long_name(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_TRAVERSE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failed();
    wchar_t found[32768];
    DWORD n = GetFinalPathNameByHandleW(h, found, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    into = {ours(h), n > 0 && n < 32768 ? plain(std::wstring(found, n)) : path};
    return true;
}

void close_folder(folder& f)
{
    if (f.h != no_handle)
        CloseHandle(win(f.h));
    f.h = no_handle;
}

namespace {

// Another program's passing hold on a file: a virus scanner, the search
// indexer or a sync client that has just opened the write's new file, or
// the old one, or a backup, to read it. Windows refuses to rename or remove
// a file that another has open without sharing its deletion
// (ERROR_SHARING_VIOLATION), and to rename over a name whose file is open
// (ERROR_ACCESS_DENIED). Such a step is tried again for a few seconds, a
// Ctrl-C or a closed console stopping the wait, and then fails as it would
// have at once.
constexpr int hold_tries = 60;       // 60 times
constexpr DWORD hold_pause_ms = 50; // 50 ms apart: three seconds

enum class waits_out { sharing, sharing_and_access };

template <typename Step> bool patiently(Step step, waits_out which = waits_out::sharing_and_access)
{
    for (int tries = 1;; ++tries) {
        if (step())
            return true;
        DWORD why = GetLastError();
        bool held = why == ERROR_SHARING_VIOLATION ||
                    (which == waits_out::sharing_and_access && why == ERROR_ACCESS_DENIED);
        if (!held || tries >= hold_tries || stop_asked())
            return failed(why);
        Sleep(hold_pause_ms);
    }
}

// The failure of a flush after a rename, kept for flush_folder to report
// (0 when there was none): see flush_folder.
DWORD flush_failure = 0;

// Renames the file at `from` to `to` (long names) through a handle of its
// own: a link itself, never what it leads to. With `replace`, whatever
// file holds `to` goes, unless it is open. The file that lands with
// `flush` is flushed through the same handle once it has its name: "the
// FlushFileBuffers function writes all the buffered information for a
// specified file to the device" (FlushFileBuffers, learn.microsoft.com:
// windows/win32/api/fileapi/nf-fileapi-flushfilebuffers), its metadata with
// it, the name among them on NTFS, whose log holds the renames before it
// too. That is the durability the system offers: it documents no flush of
// a folder, REPLACEFILE_WRITE_THROUGH "is not supported" (ReplaceFileW), and
// MOVEFILE_WRITE_THROUGH "guarantees that a move performed as a copy and
// delete operation is flushed to disk" (MoveFileExW), no other. Not run on
// real Windows: wine flushes what Linux flushes.
bool rename_once(const std::wstring& from, const std::wstring& to, bool replace, bool flush)
{
    HANDLE h = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE | (flush ? GENERIC_WRITE : 0), share_all, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    // FILE_RENAME_INFO and the name after it, in room aligned for it.
    size_t name_bytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> room(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* rename = new (room.data()) FILE_RENAME_INFO {};
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(room.data() + offsetof(FILE_RENAME_INFO, FileName), to.data(), name_bytes);
    bool renamed = SetFileInformationByHandle(h, FileRenameInfo, rename, static_cast<DWORD>(room.size())) != 0;
    DWORD why = GetLastError();
    if (renamed && flush && !FlushFileBuffers(h) && flush_failure == 0)
        flush_failure = GetLastError();
    CloseHandle(h);
    SetLastError(why);
    return renamed;
}

// Removes a name, a file made read-only too.
bool remove_name(const std::wstring& name)
{
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (patiently([&] { return DeleteFileW(name.c_str()) != 0; }))
        return true;
    return last_error == ERROR_FILE_NOT_FOUND || last_error == ERROR_PATH_NOT_FOUND;
}

bool rename_patiently(const std::wstring& from, const std::wstring& to, bool flush)
{
    return patiently([&] { return rename_once(from, to, false, flush); });
}

// Puts the file at `from` at the name `to`, whatever file held it going.
// Where that file is open (the write's own lock holds it, or a program
// that shares its deletion), it is first renamed out of the way to a name
// of its own, and removed once the other has its name: it goes when the
// last one who holds it lets it go. False, `to` as it was, when the name
// cannot be had; should the file moved away not come back, it stays at
// its own name beside `to`, whole.
bool put_over(const std::wstring& from, const std::wstring& to, const folder& to_place, bool flush)
{
    if (patiently([&] { return rename_once(from, to, true, flush); }, waits_out::sharing))
        return true;
    if (last_error != ERROR_ACCESS_DENIED || GetFileAttributesW(to.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    std::wstring aside = long_name(join(to_place.path, ".voxa-" + random_tail()));
    if (!patiently([&] { return rename_once(to, aside, false, false); }))
        return false;
    if (!rename_patiently(from, to, flush)) {
        DWORD why = last_error;
        rename_patiently(aside, to, false);
        return failed(why);
    }
    remove_name(aside); // at worst it stays, a name of ours with the old bytes
    return true;
}

} // namespace

// Windows documents no way to flush a folder: a name that a rename gave is
// made durable by the flush of the renamed file, after its rename, through
// the handle that renamed it (rename_once). This reports whether those
// flushes, since the last call, were done.
bool flush_folder(const folder&)
{
    DWORD failure = std::exchange(flush_failure, 0);
    return failure == 0 || failed(failure);
}

bool info_in(const folder& f, const std::string& leaf, file_info& info, bool follow)
{
    return info_of_name(join(f.path, leaf), info, follow);
}

handle open_in(const folder& f, const std::string& leaf, bool for_writing)
{
    std::string name = join(f.path, leaf);
    DWORD access = GENERIC_READ | (for_writing ? GENERIC_WRITE : 0);
    HANDLE h = open_name(name, access, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return no_handle;
    file_info info;
    if (info_of(ours(h), info) && info.kind == file_kind::regular) {
        BY_HANDLE_FILE_INFORMATION about {};
        if (GetFileInformationByHandle(h, &about) && (about.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            return ours(h);
        // A file whose reparse point carries data for a driver (a OneDrive
        // placeholder, a deduplicated file) is read and written through
        // it: opened again, the point followed, it must be the same file.
        HANDLE through = open_name(name, access, OPEN_EXISTING, 0);
        file_info again;
        bool same = through != INVALID_HANDLE_VALUE && info_of(ours(through), again) && same_file(again.id, info.id);
        CloseHandle(h);
        if (same)
            return ours(through);
        if (through != INVALID_HANDLE_VALUE)
            CloseHandle(through);
        fail(failure::other);
        return no_handle;
    }
    CloseHandle(h);
    fail(failure::other);
    return no_handle;
}

handle open_to_lock(const folder& f, const std::string& leaf)
{
    return open_in(f, leaf, false);
}

namespace {

// A security descriptor whose access list lets in this user alone, and
// takes nothing from the folder: the write's new file, a copied backup
// and a mark are made with it, as other systems make them 0600, until
// they are given the old file's list. Nullptr when it cannot be made.
SECURITY_ATTRIBUTES* only_the_user()
{
    static std::vector<unsigned char> token_room, acl_room;
    static SECURITY_DESCRIPTOR descriptor;
    static SECURITY_ATTRIBUTES attributes;
    static const bool made = [] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        token_room.resize(size);
        bool known = size > 0 && GetTokenInformation(token, TokenUser, token_room.data(), size, &size);
        CloseHandle(token);
        if (!known)
            return false;
        PSID me = reinterpret_cast<TOKEN_USER*>(token_room.data())->User.Sid;
        acl_room.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(me));
        auto* acl = new (acl_room.data()) ACL {};
        return InitializeAcl(acl, static_cast<DWORD>(acl_room.size()), ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, me) &&
               InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }();
    attributes = {sizeof attributes, &descriptor, FALSE};
    return made ? &attributes : nullptr;
}

} // namespace

handle new_temporary(const folder& f, std::string& leaf)
{
    for (int tries = 0; tries < 100; ++tries) {
        leaf = ".voxa-" + random_tail();
        HANDLE h = CreateFileW(long_name(join(f.path, leaf)).c_str(),
                               GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, share_all,
                               only_the_user(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            failed();
        if (h != INVALID_HANDLE_VALUE)
            return ours(h);
        if (!failed_with(failure::exists))
            return no_handle;
    }
    return no_handle;
}

bool rename_in(const folder& from, const std::string& leaf, const folder& to, const std::string& new_leaf,
               rename_how how)
{
    std::wstring source = long_name(join(from.path, leaf)), target = long_name(join(to.path, new_leaf));
    if (how == rename_how::keep_existing)
        return rename_patiently(source, target, true);
    return put_over(source, target, to, true);
}

bool remove_in(const folder& f, const std::string& leaf)
{
    return remove_name(long_name(join(f.path, leaf)));
}

std::vector<std::string> names_in(const folder& f, std::string_view prefix)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE list = FindFirstFileExW(long_name(join(f.path, std::string(prefix) + "*")).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
    if (list == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = narrow(found.cFileName, std::wcslen(found.cFileName));
        if (name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    } while (FindNextFileW(list, &found));
    FindClose(list);
    return names;
}

// No records on files: NTFS's alternate streams could hold one, but wine,
// where this build is tested, has none; a write's marks are files of their own.
bool records_kept(const folder&)
{
    return false;
}

bool read_record(const folder&, const std::string&, std::string&, file_info&)
{
    return fail(failure::not_found);
}

bool write_record(handle, const std::string&)
{
    return fail(failure::other);
}

bool can_exchange(const folder&)
{
    return true;
}

// The old file takes the backup's name, then the new one the file's, each
// by a rename of its own (ReplaceFileW does the same two renames, but it
// opens the new file sharing nothing, and fails at once when another
// program has just opened it). Between the two, the file's name leads
// nowhere: a rename over an open file is refused, and a session may hold
// it. When the new file cannot take the name, the old one is put back;
// when neither can, both stay whole, under the names the result gives.
swap_result swap_in(const folder& f, const std::string& leaf, const std::string& target, const folder& backup_place,
                    const std::string& backup_leaf, handle, uint32_t, const std::string&, std::string& old_at)
{
    std::wstring file = long_name(join(f.path, target)), fresh = long_name(join(f.path, leaf));
    if (!put_over(file, long_name(join(backup_place.path, backup_leaf)), backup_place, false))
        return swap_result::nothing_changed;
    if (rename_patiently(fresh, file, true))
        return swap_result::done;
    DWORD why = last_error;
    bool back = rename_patiently(long_name(join(backup_place.path, backup_leaf)), file, true);
    last_error = why;
    if (back)
        return swap_result::nothing_changed;
    old_at = backup_leaf;
    return swap_result::both_left;
}

replace_right may_replace(const folder&, const std::string&)
{
    return replace_right::may;
}

bool may_write(const folder& f, const std::string& leaf)
{
    DWORD attributes = GetFileAttributesW(long_name(join(f.path, leaf)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failed();
    return (attributes & FILE_ATTRIBUTE_READONLY) == 0 || failed(ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------------------
// The write lock: one byte far past any data the file may hold.

namespace {

bool lock_byte(handle file, DWORD how)
{
    OVERLAPPED where {};
    where.Offset = 0xfffffffe;
    where.OffsetHigh = 0x7fffffff;
    return LockFileEx(win(file), how | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &where) != 0;
}

} // namespace

lock_result try_lock(handle file)
{
    if (lock_byte(file, LOCKFILE_FAIL_IMMEDIATELY))
        return lock_result::locked;
    failed();
    return last_error == ERROR_LOCK_VIOLATION || last_error == ERROR_IO_PENDING ? lock_result::busy
                                                                                 : lock_result::failed;
}

bool wait_lock(handle file)
{
    for (;;) {
        if (lock_byte(file, LOCKFILE_FAIL_IMMEDIATELY))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING)
            return failed();
        if (take_interrupt() || stop_asked())
            return fail(failure::interrupted);
        Sleep(20);
    }
}

// ---------------------------------------------------------------------------
// What a file carries: its access list, attributes, creation time, its
// compression and its named streams, given to the new file before it takes
// the old one's place, as ReplaceFileW would merge them ("preserves the
// following attributes of the original file: creation time, short file
// name, object identifier, DACLs, security resource attributes, encryption,
// compression, named streams", ReplaceFileW, learn.microsoft.com:
// windows/win32/api/winbase/nf-winbase-replacefilew). Not kept: the short
// name, the object identifier, the resource attributes; an encrypted
// file's new bytes are never written to a file that is not.

namespace {

// Its own entries of a file's access list, in order, and whether it takes
// those of its folder; a file with no list at all lets everyone in.
struct access_list {
    bool taken_from_folder = true;
    bool none = false;
    std::vector<unsigned char> own; // the entries, one after another
    bool operator==(const access_list&) const = default;
};

bool access_list_of(HANDLE h, access_list& list)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    list = {};
    list.taken_from_folder = (control & SE_DACL_PROTECTED) == 0;
    list.none = dacl == nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ACE_HEADER head {};
        if (!GetAce(dacl, i, &ace))
            continue;
        std::memcpy(&head, ace, sizeof head);
        if ((head.AceFlags & INHERITED_ACE) == 0) {
            const auto* bytes = static_cast<const unsigned char*>(ace);
            list.own.insert(list.own.end(), bytes, bytes + head.AceSize);
        }
    }
    LocalFree(sd);
    return true;
}

// Gives `to` the access list of `from`: its own entries, and those of its
// new folder where the old one took its folder's.
bool give_access_list(HANDLE to, HANDLE from)
{
    access_list list;
    if (!access_list_of(from, list))
        return false;
    std::vector<unsigned char> room(sizeof(ACL) + list.own.size() + sizeof(DWORD));
    auto* acl = new (room.data()) ACL {};
    if (!InitializeAcl(acl, static_cast<DWORD>(room.size()), ACL_REVISION_DS) ||
        (!list.own.empty() && !AddAce(acl, ACL_REVISION_DS, MAXDWORD, list.own.data(), static_cast<DWORD>(list.own.size()))))
        return false;
    DWORD how = DACL_SECURITY_INFORMATION |
                (list.taken_from_folder ? UNPROTECTED_DACL_SECURITY_INFORMATION : PROTECTED_DACL_SECURITY_INFORMATION);
    return SetSecurityInfo(to, SE_FILE_OBJECT, how, nullptr, nullptr, list.none ? nullptr : acl, nullptr) ==
           ERROR_SUCCESS;
}

// The named streams of `from` (the mark of the web among them), copied to
// `to` where it has none of that name.
void give_streams(HANDLE to, HANDLE from)
{
    std::vector<unsigned char> room(1 << 16);
    if (!GetFileInformationByHandleEx(from, FileStreamInfo, room.data(), static_cast<DWORD>(room.size())))
        return;
    wchar_t from_path[32768], to_path[32768];
    DWORD a = GetFinalPathNameByHandleW(from, from_path, 32768, VOLUME_NAME_DOS);
    DWORD b = GetFinalPathNameByHandleW(to, to_path, 32768, VOLUME_NAME_DOS);
    if (a == 0 || a >= 32768 || b == 0 || b >= 32768)
        return;
    for (size_t at = 0; at + sizeof(FILE_STREAM_INFO) <= room.size();) {
        FILE_STREAM_INFO entry {};
        std::memcpy(&entry, room.data() + at, offsetof(FILE_STREAM_INFO, StreamName));
        std::wstring stream(entry.StreamNameLength / sizeof(wchar_t), L'\0');
        std::memcpy(stream.data(), room.data() + at + offsetof(FILE_STREAM_INFO, StreamName), entry.StreamNameLength);
        if (stream != L"::$DATA" && !stream.empty()) {
            HANDLE in = CreateFileW((std::wstring(from_path, a) + stream).c_str(), GENERIC_READ, share_all, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
            HANDLE out = CreateFileW((std::wstring(to_path, b) + stream).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     0, nullptr);
            char bytes[1 << 12];
            DWORD got = 0, put = 0;
            while (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
                   ReadFile(in, bytes, sizeof bytes, &got, nullptr) && got > 0 &&
                   WriteFile(out, bytes, got, &put, nullptr) && put == got) {
            }
            for (HANDLE h : {in, out})
                if (h != INVALID_HANDLE_VALUE)
                    CloseHandle(h);
        }
        if (entry.NextEntryOffset == 0)
            break;
        at += entry.NextEntryOffset;
    }
}

} // namespace

uint32_t user()
{
    return 0;
}

bool can_give_owner(const file_info&)
{
    return true;
}

// Owners are not given (the new file is the user's, as with ReplaceFileW);
// the access list is given where the file system takes it, and a write
// whose new file could not be given it says so once it has landed
// (access_list_kept).
bool give_attributes(handle to, handle from, const file_info&, uint32_t, owner_rule)
{
    BY_HANDLE_FILE_INFORMATION old {}, fresh {};
    if (!GetFileInformationByHandle(win(from), &old) || !GetFileInformationByHandle(win(to), &fresh))
        return failed();
    if ((old.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0 && (fresh.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) == 0)
        return failed(ERROR_ENCRYPTION_FAILED);
    give_access_list(win(to), win(from));
    if ((old.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0 && (fresh.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) == 0) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD none = 0;
        DeviceIoControl(win(to), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &none, nullptr);
    }
    FILE_BASIC_INFO basic {};
    basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = (old.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)) |
                           FILE_ATTRIBUTE_ARCHIVE;
    SetFileInformationByHandle(win(to), FileBasicInfo, &basic, sizeof basic);
    give_streams(win(to), win(from));
    return true;
}

bool access_list_kept(handle made, handle old)
{
    access_list was, now;
    return !access_list_of(win(old), was) || (access_list_of(win(made), now) && now == was);
}

// Bits that let others in give the file its folder's access list, as a
// new file gets it; a file made private (new_temporary) stays so otherwise.
bool set_bits(handle file, uint32_t bits)
{
    if ((bits & 0066) == 0)
        return true;
    ACL empty {};
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION))
        return failed();
    DWORD result = SetSecurityInfo(win(file), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &empty, nullptr);
    return result == ERROR_SUCCESS || failed(result);
}

uint32_t less_umask(uint32_t bits)
{
    return bits;
}

bool within_size_limit(int64_t)
{
    return true;
}

// ---------------------------------------------------------------------------
// The large buffer.

void* reserve_zeroed(size_t size, size_t& reserved)
{
    reserved = size;
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release(void* at, size_t)
{
    VirtualFree(at, 0, MEM_RELEASE);
}

bool give_back(void* at, size_t n)
{
    // Pages taken back and given again read as zeros.
    return VirtualFree(at, n, MEM_DECOMMIT) && VirtualAlloc(at, n, MEM_COMMIT, PAGE_READWRITE) == at;
}

void prefer_huge_pages(void*, size_t) {}

size_t page_size()
{
    SYSTEM_INFO about;
    GetSystemInfo(&about);
    return about.dwPageSize;
}

// ---------------------------------------------------------------------------
// The process, its console and the events that end it.

namespace {

volatile LONG interrupt_seen = 0;
volatile LONG ending_event = 0; // the event that came while a write was held, plus one
volatile LONG holding = 0;
bool interrupts_caught = false;
HANDLE write_over_event = nullptr;
UINT code_page_before = 0; // the console's output code page before ours, 0 when untouched

// The code page is the console's, shared with the shell and every program
// run in it after this one: it is given back however the program ends.
void give_back_code_page()
{
    if (code_page_before != 0)
        SetConsoleOutputCP(code_page_before);
}

bool console(DWORD which)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

BOOL WINAPI on_console_event(DWORD event)
{
    bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (interrupt && interrupts_caught && event == CTRL_C_EVENT) {
        InterlockedExchange(&interrupt_seen, 1);
        return TRUE;
    }
    if (InterlockedCompareExchange(&holding, 1, 1) == 0) {
        give_back_code_page();
        return FALSE; // not in a write: the program ends as it would
    }
    InterlockedExchange(&ending_event, static_cast<LONG>(event) + 1);
    // A closed console ends the program once this returns: the write is
    // given the time to clean up after itself first.
    if (!interrupt && write_over_event != nullptr)
        WaitForSingleObject(write_over_event, 4000);
    return TRUE;
}

} // namespace

void prepare_process()
{
    // A standard file that is not there reads and writes nothing, as on
    // other systems, rather than failing every print.
    const std::pair<DWORD, FILE*> standard[] = {{STD_INPUT_HANDLE, stdin}, {STD_OUTPUT_HANDLE, stdout},
                                               {STD_ERROR_HANDLE, stderr}};
    for (auto [which, stream] : standard) {
        HANDLE h = GetStdHandle(which);
        if (h == nullptr || h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_UNKNOWN)
            std::freopen("NUL", stream == stdin ? "r" : "w", stream);
    }
    // A script is read byte for byte, as on other systems: the line reader
    // folds a CR before a LF, and read_input ends the input at a Ctrl-Z
    // that begins a line (text mode would end it at any, and drop CRs).
    _setmode(_fileno(stdin), _O_BINARY);
    if (console(STD_OUTPUT_HANDLE)) {
        // The names, and the bytes of a dump, as UTF-8; the bytes straight to
        // the console, whose own handling of a line end moves to the next
        // line (the library's text mode would convert them as another code
        // page). A redirected output keeps text mode and its CRLF line ends.
        UINT before = GetConsoleOutputCP();
        if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
            code_page_before = before;
            std::atexit(give_back_code_page);
        }
        _setmode(_fileno(stdout), _O_BINARY);
        // A console shows each write on its own: a UTF-8 character split
        // between two writes shows as two wrong ones. What a command prints
        // is written at once, when the program flushes it before the next
        // read, from a buffer larger than any output that holds a name (a
        // path of 32,767 characters takes 96 KiB): only the lists of places
        // that s and r find outgrow it, and they are ASCII. (Unbuffered, the
        // C library writes a print a character at a time.)
        static char shown[1 << 20];
        std::setvbuf(stdout, shown, _IOFBF, sizeof shown);
    }
    write_over_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

} // namespace sys

// The C runtime's own parse of the command line into UTF-16 words
// (msvcrt's), which spares the program SHELL32: a console program that
// loads SHELL32, and with it USER32, is sent no logoff or shutdown event,
// and a logoff would end a write with no clean-up ("If a console
// application loads the gdi32.dll or user32.dll library, the
// HandlerRoutine function ... does not get called for the
// CTRL_LOGOFF_EVENT and CTRL_SHUTDOWN_EVENT events", SetConsoleCtrlHandler,
// learn.microsoft.com: windows/console/setconsolectrlhandler).
struct startup_info {
    int new_mode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand, startup_info* info);

namespace sys {

std::vector<std::string> arguments(int argc, char** argv)
{
    int n = 0;
    wchar_t** words = nullptr;
    wchar_t** environment = nullptr;
    startup_info info {0};
    if (__wgetmainargs(&n, &words, &environment, 0, &info) < 0 || words == nullptr)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> all;
    for (int i = 0; i < n; ++i)
        all.push_back(narrow(words[i], std::wcslen(words[i])));
    return all;
}

bool interactive()
{
    return console(STD_INPUT_HANDLE) && console(STD_OUTPUT_HANDLE);
}

void catch_interrupts()
{
    interrupts_caught = true;
}

bool take_interrupt()
{
    return InterlockedExchange(&interrupt_seen, 0) != 0;
}

int64_t read_input(void* into, size_t n, bool& interrupted)
{
    interrupted = false;
    if (!console(STD_INPUT_HANDLE)) {
        // A pipe or a file, byte for byte: a Ctrl-Z (0x1a) ends it where it
        // begins a line, as at the console; inside a line it is data.
        static bool ended = false, line_start = true; // line_start: the last byte given was a LF, or none was
        if (ended)
            return 0;
        int got = _read(0, into, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
        if (got <= 0)
            return got < 0 ? -1 : 0;
        const auto* bytes = static_cast<const unsigned char*>(into);
        for (int i = 0; i < got; ++i) {
            if (line_start && bytes[i] == 0x1a) {
                ended = true;
                return i;
            }
            line_start = bytes[i] == '\n';
        }
        return got;
    }
    // The console's own line editing: a whole line comes at once, in UTF-16.
    static wchar_t typed[8192];
    DWORD count = 0;
    BOOL read = ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), typed, 8192, &count, nullptr);
    // Ctrl-C ends the read with nothing read; its handler runs on a thread
    // of its own, a moment later.
    if (read && count == 0) {
        for (int waited = 0; waited < 50 && interrupt_seen == 0; ++waited)
            Sleep(2);
        take_interrupt();
        interrupted = true;
        return -1;
    }
    if (!read)
        return failed(), -1;
    if (typed[0] == 0x1a)
        return 0; // Ctrl-Z at the start of a line: the end of the input
    std::wstring line;
    for (DWORD i = 0; i < count; ++i)
        if (typed[i] != L'\r')
            line += typed[i];
    std::string text = narrow(line);
    size_t size = std::min(text.size(), n);
    std::memcpy(into, text.data(), size);
    return static_cast<int64_t>(size);
}

std::string program_folder()
{
    wchar_t self[32768];
    DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    std::string path = n > 0 && n < 32768 ? plain(std::wstring(self, n)) : std::string();
    size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

void run_instead(const std::string&, char**) {}

void put_bytes(FILE* out, const char* bytes, size_t n)
{
    std::fwrite(bytes, 1, n, out);
}

void put_char(FILE* out, char c)
{
    std::fputc(c, out);
}

int64_t now_ms()
{
    return static_cast<int64_t>(GetTickCount64());
}

void hold_ending_signals()
{
    InterlockedExchange(&ending_event, 0);
    InterlockedExchange(&interrupt_seen, 0);
    if (write_over_event != nullptr)
        ResetEvent(write_over_event);
    InterlockedExchange(&holding, 1);
}

bool stop_asked()
{
    return ending_event != 0 || interrupt_seen != 0;
}

bool carry_on()
{
    return !stop_asked() || fail(failure::interrupted);
}

int release_ending_signals()
{
    InterlockedExchange(&holding, 0);
    if (write_over_event != nullptr)
        SetEvent(write_over_event);
    return static_cast<int>(ending_event);
}

void end_by(int event)
{
    // As the console's own handling would end it.
    give_back_code_page();
    ExitProcess(event - 1 == CTRL_C_EVENT || event - 1 == CTRL_BREAK_EVENT ? STATUS_CONTROL_C_EXIT : 1);
}

} // namespace sys
