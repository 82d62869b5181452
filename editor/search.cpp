// Search (s) and replace (r): report, and on a replace overwrite, every place
// where one to five byte values stand, overlapping places included.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "commands.hpp"
#include "line.hpp"
#include "numbers.hpp"

namespace {

constexpr int max_values = 5;
constexpr int first_value = 3; // tokens: command word, begoffset, endoffset, values

struct pattern {
    std::array<int16_t, max_values> search{};
    std::array<int16_t, max_values> replacement{};
    int count = 0;
};

// A token converted on its own, as if the line were cut at its blanks.
int32_t token_number(std::string_view token)
{
    return hex_number(std::string(token).c_str());
}

int16_t byte_value(std::string_view token)
{
    return static_cast<int16_t>(static_cast<uint16_t>(token_number(token)));
}

void closing_line(FILE* out)
{
    std::fputs("Use 'd [offset]' to display 'Found' values:  (ie: -d 7732 ) \n", out);
}

void take_offsets(editor_state& st, const token_list& tokens)
{
    if (tokens.count > 1)
        st.begoffset = std::max(0, token_number(tokens.items[1]));
    if (tokens.count > 2) {
        st.endoffset = token_number(tokens.items[2]);
        if (st.endoffset >= st.data_count)
            st.endoffset = st.data_count - 1;
    }
}

// A replace line reads: r begoffset endoffset values... n newvalues...
// False for a line of another shape; nothing is taken from it then.
bool read_replace(const token_list& tokens, pattern& p, bool& too_many)
{
    int n_at = 1;
    while (n_at < tokens.count && tokens.items[n_at] != "n")
        ++n_at;
    int values = n_at - first_value;
    if (n_at == tokens.count || values < 1)
        return false;
    p.count = std::min(values, max_values);
    if (n_at + p.count >= tokens.count)
        return false;
    for (int i = 0; i < p.count; ++i) {
        if (tokens.items[n_at + 1 + i] == "n")
            return false;
        p.search[i] = byte_value(tokens.items[first_value + i]);
        p.replacement[i] = byte_value(tokens.items[n_at + 1 + i]);
    }
    too_many = values > max_values;
    return true;
}

void read_search(const token_list& tokens, pattern& p, bool& too_many)
{
    int last = std::min(tokens.count, first_value + max_values);
    for (int i = first_value; i < last; ++i)
        p.search[p.count++] = byte_value(tokens.items[i]);
    too_many = tokens.count > first_value + max_values;
}

bool matches(const editor_state& st, int32_t at, const pattern& p)
{
    for (int i = 0; i < p.count; ++i)
        if (st.edit_buffer[at + i] != p.search[i])
            return false;
    return true;
}

void scan(editor_state& st, const pattern& p, bool replace, FILE* out)
{
    if (p.count == 0 || p.search[0] < 0 || p.search[0] > 255)
        return; // no byte equals the first value
    // A window must lie inside edit_buffer; later ones are skipped.
    int32_t end = std::min(st.endoffset, buffer_limit + 1 - (p.count - 1));
    unsigned char* buf = st.edit_buffer.data();
    for (int32_t at = std::max(0, st.begoffset); at < end; ++at) {
        // Jump to the next place where the first value stands; a replace
        // has already stored its bytes, so the jump sees them.
        auto* next = static_cast<unsigned char*>(std::memchr(buf + at, p.search[0], end - at));
        if (next == nullptr)
            break;
        at = static_cast<int32_t>(next - buf);
        if (!matches(st, at, p))
            continue;
        std::fprintf(out, "Found at %04x\n", static_cast<unsigned>(at));
        if (replace)
            for (int i = 0; i < p.count; ++i) {
                auto value = static_cast<unsigned char>(p.replacement[i]);
                st.unsaved = st.unsaved || (at + i < st.data_count && buf[at + i] != value);
                buf[at + i] = value;
            }
    }
}

} // namespace

int search_replace(editor_state& st, char* line, FILE* out, bool replace)
{
    if (replace && std::strchr(line + 1, 'n') == nullptr) {
        std::fputs("ERROR: no 'n' found in replace command (use ? for help) \n", out);
        closing_line(out);
        return RESULT_PROMPT;
    }
    token_list tokens = tokenise(line);
    pattern p;
    bool too_many = false;
    if (replace && !read_replace(tokens, p, too_many)) {
        std::fputs("ERROR: bad replace command (use ? for help) \n", out);
        closing_line(out);
        return RESULT_PROMPT;
    }
    if (!replace)
        read_search(tokens, p, too_many);
    take_offsets(st, tokens);
    if (too_many)
        std::fputs("ERROR: 5 search chars max...\n", out);
    scan(st, p, replace, out);
    closing_line(out);
    return RESULT_PROMPT;
}
