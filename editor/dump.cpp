// The prompt loop and the hex dump, the editor's one view of the data.
#include "commands.hpp"
#include "numbers.hpp"

bool read_line(FILE* in, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    return c == '\n' || !line.empty();
}

void prompt_loop(editor_state& st, FILE* in, FILE* out)
{
    std::string line;
    for (;;) {
        std::fputs("-", out);
        std::fflush(out);
        if (!read_line(in, line))
            return; // the input is exhausted: end as q does
        switch (interpret(st, line, out)) {
        case RESULT_QUIT:
            return;
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

// One line of 16 bytes from cursor; true when it reached past the data.
// Positions outside edit_buffer are shown as blanks and never read.
bool dump_line(editor_state& st, FILE* out)
{
    bool past_data = false;
    char column[17] = {};
    std::fprintf(out, "0000:%04x", static_cast<unsigned>(st.addr_counter));
    for (int i = 0; i < 16; ++i) {
        if (st.cursor > st.data_count)
            past_data = true;
        bool inside = st.cursor >= 0 && st.cursor <= buffer_limit;
        unsigned char byte = inside ? st.edit_buffer[st.cursor] : 0;
        st.cursor = wrap_add(st.cursor, 1);
        st.addr_counter = wrap_add(st.addr_counter, 1);
        if (i == 8)
            std::fputs(" -", out);
        if (inside)
            std::fprintf(out, " %02x", byte);
        else
            std::fputs("   ", out);
        column[i] = !inside ? ' ' : byte <= 31 ? '.' : static_cast<char>(byte);
    }
    std::fprintf(out, "   %s\n", column);
    return past_data;
}

} // namespace

void show_dump(editor_state& st, FILE* out)
{
    for (int lines = 0; lines < 10; ++lines)
        if (dump_line(st, out))
            break;
}
