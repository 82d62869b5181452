// Insert (i) opens a gap as wide as a file and loads the file into it;
// overlay (o) loads a file, or its first bytes, over what is there.
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// Opens a file to load from; nullptr for one that cannot be opened or is a
// folder. Opening does not wait for a writer on a named pipe.
FILE* open_source(const std::string& name, struct stat& info)
{
    int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

// Runs the shared load from offset, reading at most `most` bytes (all of
// the file when negative), and reports what it stored.
void load_at(editor_state& st, FILE* file, const std::string& name, int32_t offset, int64_t most, FILE* out)
{
    std::fprintf(out, "Please Wait... Loading %s into memory at %ld \n", name.c_str(), long{offset});
    st.cursor = offset;
    load_end end = load_loop(st, file, out, load_mode::file, most);
    std::fprintf(out, " %ld Bytes Loaded into memory. \n", long{st.cursor} - offset);
    if (end == load_end::read_error)
        std::fprintf(out, "ERROR: read error in file %s...\n", name.c_str());
    std::fclose(file);
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
    struct stat info {};
    FILE* file = open_source(name, info);
    if (file == nullptr) {
        std::fprintf(out, "Can't Open file %s.\n", name.c_str());
        return RESULT_PROMPT;
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(out, "ERROR: can't learn the size of %s, not inserted...\n", name.c_str());
        std::fclose(file);
        return RESULT_PROMPT;
    }
    if (info.st_size > buffer_limit - st.data_count) {
        std::fputs("ERROR: file too large to insert...\n", out);
        std::fclose(file);
        return RESULT_PROMPT;
    }
    auto size = static_cast<int32_t>(info.st_size);
    std::fprintf(out, "fileName=%s, filesize=%ld, data_count=%ld, offset=%ld\n", name.c_str(), long{size},
                 long{st.data_count}, long{offset});
    // Open the gap: the bytes from offset to the end slot move up by size.
    unsigned char* buf = st.edit_buffer.data();
    std::memmove(buf + offset + size, buf + offset, st.data_count + 1 - offset);
    st.data_count += size;
    std::fprintf(out, "data_count = %ld\n", long{st.data_count});
    // A file that grew since its size was taken must not spill over the
    // data after the gap: the load takes no more than the gap holds.
    load_at(st, file, name, offset, size, out);
    return RESULT_PROMPT;
}

int overlay_file(editor_state& st, char* line, FILE* out)
{
    if (std::strlen(line) <= 2 || first_blank(line) == nullptr) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    // The line is cut once, at its last blank: the file name is the last
    // word of what is left and the offset its first, which may be the same
    // word (o 0 g.bin opens a file named 0 at offset 0).
    int32_t count = count_number(cut_last_word(line));
    char* blank = last_blank(line);
    if (blank == nullptr || blank[1] == '\0') {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    std::string name = blank + 1;
    int32_t offset = hex_number(first_blank(line) + 1);
    if (offset < 0 || offset > buffer_limit) {
        std::fputs("ERROR: offset outside the buffer...\n", out);
        return RESULT_PROMPT;
    }
    struct stat info {};
    FILE* file = open_source(name, info);
    if (file == nullptr) {
        std::fprintf(out, "Could not open file: %s \n", name.c_str());
        return RESULT_PROMPT;
    }
    load_at(st, file, name, offset, count > 0 ? count : -1, out);
    return RESULT_PROMPT;
}
