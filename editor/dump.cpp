// The prompt loop and the hex dump, the editor's one view of the data.
#include <cstring>

#include "commands.hpp"
#include "numbers.hpp"

namespace {

// A person at a terminal who leaves with changes not yet written is asked
// first; a script leaves at once. The end of the input at the question
// leaves too.
bool may_leave(const editor_state& st, line_input& in)
{
    if (!in.terminal || !st.unsaved)
        return true;
    in.eof = false; // a terminal reads on after Ctrl-D
    std::string answer;
    line_read got = read_line(in, "Changes not written. Leave anyway? Y/[N] ", answer, line_max);
    return got == line_read::end || (!answer.empty() && (answer[0] == 'Y' || answer[0] == 'y'));
}

} // namespace

void prompt_loop(editor_state& st, line_input& in, FILE* out)
{
    std::string line;
    for (;;) {
        // One character more than a command line holds, so that a longer
        // line is seen as such and refused.
        line_read got = read_line(in, "-", line, line_max + 1, line_kind::command);
        if (got == line_read::end && may_leave(st, in))
            return; // the input is exhausted: end as q does
        if (got != line_read::line)
            continue;
        switch (interpret(st, line, out)) {
        case RESULT_QUIT:
            if (may_leave(st, in))
                return;
            break;
        case RESULT_PROMPT:
            break;
        case RESULT_WRITE:
            write_file(st, in, out);
            break;
        default:
            show_dump(st, out);
            break;
        }
    }
}

namespace {

const char hex_digits[] = "0123456789abcdef";

// "0000:" and the label, in lower-case hexadecimal, at least four digits.
char* put_label(char* at, uint32_t label)
{
    std::memcpy(at, "0000:", 5);
    at += 5;
    int digits = 4;
    while (digits < 8 && (label >> (4 * digits)) != 0)
        ++digits;
    for (int d = digits - 1; d >= 0; --d)
        *at++ = hex_digits[(label >> (4 * d)) & 0xf];
    return at;
}

// A position's " %02x", or three blanks for one outside edit_buffer.
char* put_byte(char* at, int i, bool inside, unsigned char byte)
{
    if (i == 8) {
        *at++ = ' ';
        *at++ = '-';
    }
    *at++ = ' ';
    *at++ = inside ? hex_digits[byte >> 4] : ' ';
    *at++ = inside ? hex_digits[byte & 0xf] : ' ';
    return at;
}

char shown_as(bool inside, unsigned char byte)
{
    return !inside ? ' ' : byte <= 31 ? '.' : static_cast<char>(byte);
}

// One line of 16 bytes from cursor, written at once; true when it reached
// past the data. Positions outside edit_buffer are shown as blanks and
// never read.
bool dump_line(editor_state& st, FILE* out)
{
    char text[96];
    char column[16];
    char* at = put_label(text, static_cast<uint32_t>(st.addr_counter));
    bool past_data = false;
    if (st.cursor >= 0 && st.cursor <= buffer_limit - 15) {
        // The whole line lies inside edit_buffer.
        const unsigned char* bytes = &st.edit_buffer[static_cast<size_t>(st.cursor)];
        past_data = st.cursor + 15 > st.data_count;
        for (int i = 0; i < 16; ++i) {
            at = put_byte(at, i, true, bytes[i]);
            column[i] = shown_as(true, bytes[i]);
        }
        st.cursor += 16;
    } else {
        for (int i = 0; i < 16; ++i) {
            if (st.cursor > st.data_count)
                past_data = true;
            bool inside = st.cursor >= 0 && st.cursor <= buffer_limit;
            unsigned char byte = inside ? st.edit_buffer[static_cast<size_t>(st.cursor)] : 0;
            st.cursor = wrap_add(st.cursor, 1);
            at = put_byte(at, i, inside, byte);
            column[i] = shown_as(inside, byte);
        }
    }
    st.addr_counter = wrap_add(st.addr_counter, 16);
    std::memcpy(at, "   ", 3);
    std::memcpy(at + 3, column, 16);
    at[19] = '\n';
    fwrite_unlocked(text, 1, static_cast<size_t>(at + 20 - text), out);
    return past_data;
}

} // namespace

void show_dump(editor_state& st, FILE* out)
{
    for (int lines = 0; lines < 10; ++lines)
        if (dump_line(st, out))
            break;
}
