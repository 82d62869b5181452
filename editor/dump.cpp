// The prompt loop and the hex dump, the editor's one view of the data.
#include <algorithm>
#include <array>
#include <bit>
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

constexpr char hex_digits[] = "0123456789abcdef";

// "0000:" and the label, in lower-case hexadecimal, at least four digits.
// A label below 0 (a negative startbyte, or f before the data's 75th
// byte) shows as its 32 bits; one past them, in all its digits.
char* put_label(char* at, int64_t counter)
{
    uint64_t label = counter < 0 && counter >= INT32_MIN ? uint64_t{static_cast<uint32_t>(counter)}
                                                          : static_cast<uint64_t>(counter);
    std::memcpy(at, "0000:", 5);
    int digits = std::max(4, static_cast<int>(std::bit_width(label) + 3) / 4);
    char* end = at + 5 + digits;
    for (char* d = end; d != at + 5; label >>= 4)
        *--d = hex_digits[label & 0xf];
    return end;
}

// Each byte value as the dump shows it: " %02x" (with a spare fourth byte,
// so that a position is stored in one move), and in the character column.
// A script gets the bytes from 0x20 on as they are; a terminal gets a dot
// for every byte it could take as a control or as part of a character.
struct byte_forms {
    std::array<std::array<char, 4>, 256> hex{};
    std::array<char, 256> scripted{};
    std::array<char, 256> terminal{};
};

constexpr byte_forms make_forms()
{
    byte_forms forms;
    for (int b = 0; b < 256; ++b) {
        forms.hex[b] = {' ', hex_digits[b >> 4], hex_digits[b & 0xf], ' '};
        forms.scripted[b] = b <= 0x1f ? '.' : static_cast<char>(b);
        forms.terminal[b] = b <= 0x1f || b >= 0x7f ? '.' : static_cast<char>(b);
    }
    return forms;
}

constexpr byte_forms forms = make_forms();

// The longest line: "0000:", sixteen digits, 16 positions and the dash, three
// blanks, the column and the line end. Each position's spare byte is
// written over by what follows it.
constexpr int line_most = 5 + 16 + 16 * 3 + 2 + 3 + 16 + 1;
constexpr int lines_most = 10;

// One line of 16 bytes from cursor, formatted at `at`; returns its end.
// `past_data` tells whether it reached past the data. Positions outside
// edit_buffer are shown as blanks and never read.
char* dump_line(editor_state& st, const char* shown, char* at, bool& past_data)
{
    at = put_label(at, st.addr_counter);
    char* column = at + 16 * 3 + 2 + 3;
    if (st.cursor >= 0 && st.cursor <= buffer_limit - 15) {
        // The whole line lies inside edit_buffer.
        const unsigned char* bytes = &st.edit_buffer[static_cast<size_t>(st.cursor)];
        past_data = st.cursor + 15 > st.data_count;
        for (int i = 0; i < 16; ++i) {
            unsigned char byte = bytes[i];
            std::memcpy(at + 3 * i + (i < 8 ? 0 : 2), forms.hex[byte].data(), 4);
            column[i] = shown[byte];
        }
        st.cursor += 16;
    } else {
        past_data = false;
        for (int i = 0; i < 16; ++i) {
            if (st.cursor > st.data_count)
                past_data = true;
            bool inside = st.cursor >= 0 && st.cursor <= buffer_limit;
            unsigned char byte = inside ? st.edit_buffer[static_cast<size_t>(st.cursor)] : 0;
            st.cursor = wrap_add(st.cursor, 1);
            std::memcpy(at + 3 * i + (i < 8 ? 0 : 2), inside ? forms.hex[byte].data() : "    ", 4);
            column[i] = inside ? shown[byte] : ' ';
        }
    }
    st.addr_counter = wrap_add(st.addr_counter, int64_t{16});
    std::memcpy(at + 24, " -", 2);
    std::memcpy(at + 50, "   ", 3);
    column[16] = '\n';
    return column + 17;
}

} // namespace

// Up to ten lines, written at once.
void show_dump(editor_state& st, FILE* out)
{
    char text[lines_most * line_most];
    char* at = text;
    const char* shown = st.at_terminal ? forms.terminal.data() : forms.scripted.data();
    bool past_data = false;
    for (int lines = 0; lines < lines_most && !past_data; ++lines)
        at = dump_line(st, shown, at, past_data);
    sys::put_bytes(out, text, static_cast<size_t>(at - text));
}
