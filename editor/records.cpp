// The records a write leaves, read and judged.
#include "records.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The first line of each record, for whoever finds one; then the
// identities the editor reads, and the names in the record's folder.
const char torn_head[] = "voxa: a rewrite in place did not finish; the backup named below holds the file named below whole.\n";
const char backup_head[] = "voxa: the backup named below was made of the file named below.\n";
constexpr size_t record_most = 8192;

std::string with_names(std::string text, const std::string& file_leaf, const std::string& backup_leaf)
{
    return text + file_leaf + '\0' + backup_leaf + '\0';
}

// The names that end a record: each a name in the record's own folder,
// never a path that leads elsewhere.
bool take_names(const char* at, const char* end, record& r)
{
    const char* file_end = static_cast<const char*>(std::memchr(at, '\0', static_cast<size_t>(end - at)));
    const char* backup_end = file_end == nullptr ? nullptr
                                                 : static_cast<const char*>(std::memchr(
                                                       file_end + 1, '\0', static_cast<size_t>(end - file_end - 1)));
    if (backup_end == nullptr)
        return false;
    r.file_leaf.assign(at, file_end);
    r.backup_leaf.assign(file_end + 1, backup_end);
    for (const std::string* leaf : {&r.file_leaf, &r.backup_leaf})
        if (leaf->empty() || *leaf == "." || *leaf == ".." || sys::leaf_of(*leaf) != *leaf)
            return false;
    return true;
}

// A record's text, read up to its size: the numbers are read up to the
// first NUL at the most.
bool parse(std::string text, record& r)
{
    const char* at = text.c_str();
    const char* end = at + text.size();
    int used = 0;
    sys::file_info& b = r.backup;
    if (text.compare(0, sizeof torn_head - 1, torn_head) == 0) {
        r.torn = true;
        at += sizeof torn_head - 1;
        if (std::sscanf(at,
                        "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64
                        " %" SCNd64 "\n%n",
                        &r.file.device, &r.file.index, &r.file.birth, &b.id.device, &b.id.index, &b.id.birth, &b.size,
                        &b.modified, &b.changed, &used) != 9)
            return false;
    } else if (text.compare(0, sizeof backup_head - 1, backup_head) == 0) {
        at += sizeof backup_head - 1;
        if (std::sscanf(at, "%" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 "\n%n", &b.id.index, &b.id.birth, &b.size,
                        &b.modified, &used) != 4)
            return false;
    } else {
        return false;
    }
    return used > 0 && take_names(at + used, end, r);
}

bool trusted(uint32_t maker, uint32_t owner)
{
    return maker == sys::user() || maker == 0 || maker == owner;
}

// The backup is the very file the record made, untouched since: its
// number and birth, size and times (the change time where a mark could
// record it; a record on the file changes it as it is set).
bool untouched(const record& r, const std::string& backup_leaf, const sys::file_info& now)
{
    const sys::file_info& then = r.backup;
    bool births = then.id.birth != 0 && now.id.birth != 0;
    return r.backup_leaf == backup_leaf && now.kind == sys::file_kind::regular && now.links == 1 &&
           now.id.index == then.id.index && (!births || now.id.birth == then.id.birth) && now.size == then.size &&
           now.modified == then.modified && (then.changed == 0 || now.changed == then.changed);
}

} // namespace

std::string backup_record(const std::string& file_leaf, const sys::file_info& backup, const std::string& backup_leaf)
{
    char numbers[128];
    int n = std::snprintf(numbers, sizeof numbers, "%" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 "\n", backup.id.index,
                          backup.id.birth, backup.size, backup.modified);
    return with_names(backup_head + std::string(numbers, static_cast<size_t>(n)), file_leaf, backup_leaf);
}

std::string torn_record(const sys::file_id& file, const std::string& file_leaf, const sys::file_info& backup,
                        const std::string& backup_leaf)
{
    char numbers[256];
    int n = std::snprintf(numbers, sizeof numbers,
                          "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64
                          " %" PRId64 " %" PRId64 "\n",
                          file.device, file.index, file.birth, backup.id.device, backup.id.index, backup.id.birth,
                          backup.size, backup.modified, backup.changed);
    return with_names(torn_head + std::string(numbers, static_cast<size_t>(n)), file_leaf, backup_leaf);
}

std::vector<record> records_about(const sys::folder& f, const std::string& backup_leaf, uint32_t owner)
{
    std::vector<record> found;
    record r;
    std::string text;
    sys::file_info made;
    if (sys::records_kept(f)) {
        if (sys::read_record(f, backup_leaf, text, made) && parse(text, r)) {
            r.name = backup_leaf;
            r.maker = made.owner;
            found.push_back(r);
        }
        return found;
    }
    static char read[record_most];
    for (const std::string& name : sys::names_in(f, mark_prefix)) {
        // Another user's mark is not opened: it could not be believed.
        if (!sys::info_in(f, name, made) || !trusted(made.owner, owner))
            continue;
        sys::handle fd = sys::open_in(f, name, false);
        bool opened = fd != sys::no_handle;
        int64_t n = opened && sys::info_of(fd, made) && made.links == 1 ? sys::read_some(fd, read, sizeof read) : -1;
        if (opened)
            sys::close_file(fd);
        r = {};
        if (n <= 0 || !trusted(made.owner, owner) || !parse(std::string(read, static_cast<size_t>(n)), r))
            continue;
        r.name = name;
        r.mark = true;
        r.maker = made.owner;
        found.push_back(r);
    }
    return found;
}

bool about(const record& r, const sys::file_id& id, const std::string& leaf)
{
    bool births = r.file.birth != 0 && id.birth != 0;
    return r.torn && r.file.index == id.index && (births ? r.file.birth == id.birth : r.file_leaf == leaf);
}

bool believed(const record& r, uint32_t owner, const std::string& backup_leaf, const sys::file_info& backup)
{
    if (!r.torn || !trusted(r.maker, owner) || !untouched(r, backup_leaf, backup))
        return false;
    // Root may have given the backup the file's owner; a record on the
    // backup could have been set by anyone who may write it.
    if (r.mark)
        return backup.owner == r.maker || (r.maker == 0 && backup.owner == owner);
    return (backup.mode & 022) == 0;
}

bool backup_of(const record& r, const std::string& file_leaf, const std::string& backup_leaf,
               const sys::file_info& backup)
{
    return !r.mark && r.file_leaf == file_leaf && untouched(r, backup_leaf, backup);
}

std::string shown(std::string_view name)
{
    std::string text;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}
