// What a write leaves on disk about itself, and which of it is believed:
// the rules of trust, in one place.
//
// A backup that a write makes carries a record of its own, where the file
// system keeps records on files: the name of the file it is the backup of
// (in the same folder), and its own identity as made. A write replaces a
// file at the backup's name without asking only when it is such a backup of
// this very file. While a rewrite in place is under way, the backup's record
// also says that the file named in it is being rewritten: should the
// rewrite not finish, the backup holds the last whole version, which the
// next write keeps. Where files carry no records, that second record is a
// mark, a file of its own beside the backup (mark_prefix and six random
// characters), and no record says which file a backup was made from.
//
// A record is believed only
//   - about the backup at the file's own backup name, never another file;
//   - while that backup is the very file it records, untouched since;
//   - when its maker could have made it: a mark's owner (unforgeable) or,
//     for a record on the backup, the backup's owner, the backup being
//     writable by its owner alone; the maker must be this user, root or the
//     file's owner, and must own the backup (root may have given it the
//     file's owner);
//   - about the file by its number and birth (or its name, where the file
//     system keeps no birth), never its device, which a file system mounted
//     again may change;
//   - and, for a rewrite that did not finish, only under the file's write
//     lock: a record whose writer holds it is a write in progress.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.hpp"

struct record {
    bool torn = false;      // a rewrite in place of the file is not known to have finished
    std::string name;       // where it was found: a mark's name, or the backup's
    bool mark = false;      // a file of its own, not a record on the backup
    uint32_t maker = 0;     // who could have made it
    sys::file_id file;      // the file rewritten (torn records)
    std::string file_leaf;  // the file's name in the folder
    sys::file_info backup;  // the backup as recorded
    std::string backup_leaf;
};

// Marks are named so, and a random tail.
inline constexpr const char* mark_prefix = ".voxa-torn-";

// The texts of the records: a backup of `file_leaf`; a rewrite in place of
// `file` whose last whole version is the backup.
std::string backup_record(const std::string& file_leaf, const sys::file_info& backup, const std::string& backup_leaf);
std::string torn_record(const sys::file_id& file, const std::string& file_leaf, const sys::file_info& backup,
                        const std::string& backup_leaf);

// The records that may be about the backup `backup_leaf` of `f`: the one
// on it, or, where files carry none, the marks in the folder that this
// user, root or `owner` made (the folder read once, no other user's entry
// opened).
std::vector<record> records_about(const sys::folder& f, const std::string& backup_leaf, uint32_t owner);

// The record is about the file `id`, named `leaf` in the record's folder.
bool about(const record& r, const sys::file_id& id, const std::string& leaf);
// The record of a rewrite in place that did not finish is believed: its
// maker is trusted with the file owned by `owner`, and the backup, as it
// is now (`backup`, at `backup_leaf`), is the very file it recorded.
bool believed(const record& r, uint32_t owner, const std::string& backup_leaf, const sys::file_info& backup);
// The file at the backup's name is a backup that a write made of the file
// named `file_leaf`, untouched since.
bool backup_of(const record& r, const std::string& file_leaf, const std::string& backup_leaf,
               const sys::file_info& backup);

// A name that came from a record, its control characters escaped, so that
// printing it cannot command a terminal.
std::string shown(std::string_view name);
