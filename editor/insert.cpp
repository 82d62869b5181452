// Insert (i) opens a gap as wide as a file and loads the file into it;
// overlay (o) loads a file, or its first bytes, over what is there.
#include <cstring>
#include <string>

#include "commands.hpp"
#include "line.hpp"
#include "numbers.hpp"

namespace {

// The line must hold a word between the command letter and the cut word(s).
bool has_offset_word(char* cut_line)
{
    char* blank = first_blank(cut_line);
    return blank != nullptr && blank[std::strspn(blank, " ")] != '\0';
}

// Opens a file to load from; no_handle for one that cannot be opened or
// is a folder. Opening does not wait for a writer on a named pipe.
sys::handle open_source(const std::string& name, sys::file_info& info)
{
    sys::handle fd = sys::open_to_read(name);
    if (fd == sys::no_handle)
        return fd;
    if (!sys::info_of(fd, info) || info.kind == sys::file_kind::folder) {
        sys::close_file(fd);
        return sys::no_handle;
    }
    return fd;
}

// Runs the shared load from offset, reading at most `most` bytes (all of
// the file when negative), and reports what it stored.
load_result load_at(editor_state& st, sys::handle fd, const std::string& name, int32_t offset, int64_t most, FILE* out)
{
    std::fprintf(out, "Please Wait... Loading %s into memory at %ld \n", name.c_str(), long{offset});
    st.cursor = offset;
    load_result loaded = load_loop(st, fd, out, load_mode::file, most);
    std::fprintf(out, " %ld Bytes Loaded into memory. \n", long{st.cursor} - offset);
    if (loaded.end == load_end::read_error)
        std::fprintf(out, "ERROR: read error in file %s...\n", name.c_str());
    sys::close_file(fd);
    return loaded;
}

// The file gave fewer bytes than it measured: the part of the gap that no
// byte was taken for closes, so that no stale byte counts as data.
void close_unfilled(editor_state& st, const std::string& name, int32_t size, int64_t taken, FILE* out)
{
    auto unfilled = static_cast<int32_t>(size - taken);
    unsigned char* buf = st.edit_buffer.data();
    std::memmove(buf + st.cursor, buf + st.cursor + unfilled, static_cast<size_t>(st.data_count + 1 - st.cursor - unfilled));
    st.data_count -= unfilled;
    std::fprintf(out, "ERROR: %s measured %ld bytes but gave %ld, data_count = %ld \n", name.c_str(), long{size},
                 static_cast<long>(taken), long{st.data_count});
}

} // namespace

int insert_file(editor_state& st, char* line, FILE* out)
{
    if (std::strlen(line) <= 2 || first_blank(line) == nullptr) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    std::string name = cut_last_word(line);
    if (!has_offset_word(line)) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    int32_t offset = hex_number(first_blank(line) + 1);
    if (offset < 0 || offset > st.data_count) {
        std::fputs("ERROR: offset outside the data...\n", out);
        return RESULT_PROMPT;
    }
    sys::file_info info;
    sys::handle fd = open_source(name, info);
    if (fd == sys::no_handle) {
        std::fprintf(out, "Can't Open file %s.\n", name.c_str());
        return RESULT_PROMPT;
    }
    if (info.kind != sys::file_kind::regular) {
        std::fprintf(out, "ERROR: can't learn the size of %s, not inserted...\n", name.c_str());
        sys::close_file(fd);
        return RESULT_PROMPT;
    }
    if (info.size > buffer_limit - st.data_count) {
        std::fputs("ERROR: file too large to insert...\n", out);
        sys::close_file(fd);
        return RESULT_PROMPT;
    }
    auto size = static_cast<int32_t>(info.size);
    std::fprintf(out, "fileName=%s, filesize=%ld, data_count=%ld, offset=%ld\n", name.c_str(), long{size},
                 long{st.data_count}, long{offset});
    // Open the gap: the bytes from offset to the end slot move up by size.
    unsigned char* buf = st.edit_buffer.data();
    std::memmove(buf + offset + size, buf + offset, st.data_count + 1 - offset);
    st.data_count += size;
    std::fprintf(out, "data_count = %ld\n", long{st.data_count});
    // A file that grew since its size was taken must not spill over the
    // data after the gap: the load takes no more than the gap holds.
    load_result loaded = load_at(st, fd, name, offset, size, out);
    if (loaded.taken < size)
        close_unfilled(st, name, size, loaded.taken, out);
    st.unsaved = st.unsaved || loaded.taken > 0;
    return RESULT_PROMPT;
}

int overlay_file(editor_state& st, char* line, FILE* out)
{
    if (std::strlen(line) <= 2 || first_blank(line) == nullptr) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    // A line with a single word after its first blank, whatever the
    // command word, has no offset and no file name.
    if (tokenise(first_blank(line) + 1).count < 2) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    // The line is cut once, at its last blank: the file name is the last
    // word of what is left and the offset its first, which may be the same
    // word (o 0 g.bin opens a file named 0 at offset 0). A file-name word
    // that is empty names the empty file name.
    int32_t count = count_number(cut_last_word(line));
    std::string name = last_blank(line) + 1;
    int32_t offset = hex_number(first_blank(line) + 1);
    if (offset < 0 || offset > buffer_limit) {
        std::fputs("ERROR: offset outside the buffer...\n", out);
        return RESULT_PROMPT;
    }
    sys::file_info info;
    sys::handle fd = open_source(name, info);
    if (fd == sys::no_handle) {
        std::fprintf(out, "Could not open file: %s \n", name.c_str());
        return RESULT_PROMPT;
    }
    load_at(st, fd, name, offset, count > 0 ? count : -1, out);
    st.unsaved = st.unsaved || (offset < st.data_count && st.cursor > offset); // bytes stored over the data
    return RESULT_PROMPT;
}
