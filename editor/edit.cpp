// Edit (e) sets one byte; delete (l) removes a range and moves the rest of
// the data, and the end slot with it, down over the hole.
#include <algorithm>
#include <cstring>

#include "commands.hpp"
#include "line.hpp"
#include "numbers.hpp"

int edit_byte(editor_state& st, const char* line, FILE* out)
{
    if (st.startbyte != 0) {
        std::fprintf(out, "Can only edit a file smaller than %ld bytes.", long{buffer_limit});
        return RESULT_DUMP;
    }
    int32_t offset = hex_number(line + 2);
    if (offset < 0 || offset > buffer_limit) {
        std::fputs("ERROR: offset outside the buffer...\n", out);
        return RESULT_PROMPT;
    }
    if (const char* blank = std::strrchr(line, ' '))
        st.edit_value = hex_number(blank + 1);
    auto value = static_cast<unsigned char>(st.edit_value);
    if (offset < st.data_count && st.edit_buffer[offset] != value)
        st.unsaved = true;
    st.edit_buffer[offset] = value;
    return RESULT_PROMPT;
}

int delete_bytes(editor_state& st, char* line, FILE* out)
{
    if (std::strlen(line) <= 2 || first_blank(line) == nullptr) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    int32_t count = count_number(last_blank(line) + 1);
    int32_t offset = hex_number(first_blank(line) + 1);
    if (offset < 0 || count < 0 || int64_t{offset} + count > st.data_count) {
        std::fputs("ERROR: range outside the data...\n", out);
        return RESULT_PROMPT;
    }
    // Bytes from offset + count to the end slot move down; the count
    // positions after the new end slot receive what lay after the old one,
    // and a position past the buffer's last slot gives 0.
    unsigned char* buf = st.edit_buffer.data();
    int32_t moved = std::min(st.data_count + 1, buffer_limit + 1 - count) - offset;
    std::memmove(buf + offset, buf + offset + count, moved);
    std::memset(buf + offset + moved, 0, st.data_count + 1 - offset - moved);
    st.data_count -= count;
    st.unsaved = st.unsaved || count > 0;
    std::fprintf(out, "data_count = %ld \n", long{st.data_count});
    return RESULT_PROMPT;
}
