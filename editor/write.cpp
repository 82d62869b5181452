// Write (w): after the confirmation, copy the file as it stands on disk to
// its backup name, then rewrite the file from edit_buffer. The old contents
// must survive every failure, in the file or in its backup.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "commands.hpp"
#include "numbers.hpp"

#ifndef VOXA_USER_LEVEL
#define VOXA_USER_LEVEL "NOVICE"
#endif

namespace {

constexpr bool expert = std::string_view(VOXA_USER_LEVEL) == "EXPERT";

bool confirmed(FILE* in, FILE* out)
{
    std::fputs("About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n", out);
    std::fflush(out);
    std::string answer;
    read_line(in, answer); // the end of the input gives an empty answer
    if (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y'))
        return true;
    std::fputs("Update declined by user...\n", out);
    return false;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Copies the open file to the backup; every read, the one that meets the
// end included, advances addr_counter. False, with a message, on a fault.
bool copy_to_backup(editor_state& st, FILE* from, FILE* to, const std::string& backup, FILE* out)
{
    static unsigned char chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, from)) > 0) {
        st.addr_counter = wrap_add(st.addr_counter, static_cast<int64_t>(n));
        if (std::fwrite(chunk, 1, n, to) != n)
            break;
    }
    st.addr_counter = wrap_add(st.addr_counter, 1);
    if (std::ferror(from)) {
        std::fprintf(out, "ERROR: can't read file %s, file not written...\n", st.file_name.c_str());
        return false;
    }
    if (std::ferror(to) || std::fflush(to) != 0) {
        std::fprintf(out, "ERROR: can't write backup %s (%s), file not written...\n", backup.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Makes the backup; false, with a message, when it could not be made whole.
bool make_backup(editor_state& st, const std::string& backup, FILE* out)
{
    FILE* from = std::fopen(st.file_name.c_str(), "rb");
    if (from == nullptr) {
        std::fprintf(out, "Can't open file %s.\n", st.file_name.c_str());
        return false;
    }
    if (same_file(st.file_name, backup)) {
        std::fprintf(out, "ERROR: backup %s is the file itself, not written...\n", backup.c_str());
        std::fclose(from);
        return false;
    }
    FILE* to = std::fopen(backup.c_str(), "wb");
    if (to == nullptr) {
        std::fprintf(out, "Can't open file %s.\n", backup.c_str());
        std::fclose(from);
        return false;
    }
    std::fprintf(out, "Please Wait... Backing up current file to %s. \n", backup.c_str());
    bool whole = copy_to_backup(st, from, to, backup, out);
    std::fclose(from);
    if (std::fclose(to) != 0 && whole) {
        std::fprintf(out, "ERROR: can't write backup %s (%s), file not written...\n", backup.c_str(),
                     std::strerror(errno));
        whole = false;
    }
    return whole;
}

void rewrite_file(editor_state& st, FILE* out)
{
    FILE* to = std::fopen(st.file_name.c_str(), "wb");
    if (to == nullptr) {
        std::fprintf(out, "Can't open file %s.\n", st.file_name.c_str());
        return;
    }
    std::fprintf(out, "Please Wait... Writing new file %s. \n", st.file_name.c_str());
    size_t size = st.data_count > 0 ? static_cast<size_t>(st.data_count) : 0;
    size_t written = std::fwrite(st.edit_buffer.data(), 1, size, to);
    st.cursor = static_cast<int32_t>(written);
    bool failed = written != size || std::fflush(to) != 0;
    int error = errno;
    if (std::fclose(to) != 0 && !failed) {
        failed = true;
        error = errno;
    }
    if (failed)
        std::fprintf(out, "ERROR: can't write file %s (%s), the old one is in its backup...\n",
                     st.file_name.c_str(), std::strerror(error));
    st.file_incomplete = failed;
}

} // namespace

std::string backup_name(const std::string& file_name)
{
    std::string backup = file_name;
    size_t dot = backup.find('.');
    if (dot == std::string::npos || dot + 1 == backup.size())
        backup += '7';
    else if (backup[dot + 1] != '7')
        backup[dot + 1] = '7';
    else
        backup += '7'; // x.7z would be the file's own name: x.7z7
    return backup;
}

void write_file(editor_state& st, FILE* in, FILE* out)
{
    if (!st.whole_file) {
        std::fputs("ERROR: only part of the file is loaded, not written...\n", out);
        return;
    }
    if (!expert && !confirmed(in, out))
        return;
    std::string backup = backup_name(st.file_name);
    if (st.file_incomplete)
        std::fprintf(out, "Backup %s kept: it holds the file as it was before the failed write. \n",
                     backup.c_str());
    else if (!make_backup(st, backup, out))
        return;
    rewrite_file(st, out);
}
