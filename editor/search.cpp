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

// Sixteen bytes compared at once; the compiler turns this into the
// processor's vector instructions where it has them.
using block = unsigned char __attribute__((vector_size(16)));

// Where `first` stands at `at` + i and `second` after it, lane i is all ones.
block pairs(const unsigned char* at, block firsts, block seconds)
{
    block here;
    block after;
    std::memcpy(&here, at, 16);
    std::memcpy(&after, at + 1, 16);
    return (here == firsts) & (after == seconds);
}

// The first offset from `at` up to `end` where the bytes `first` and
// `second` stand one after the other, or `end`. Reads up to the byte at
// `end`, never past it. On random data a pair stands once in 65,536
// offsets, where the first value alone stands once in 256; 64 offsets are
// tried at a time.
int32_t next_pair(const unsigned char* buf, int32_t at, int32_t end, unsigned char first, unsigned char second)
{
    const block firsts = block{} + first;
    const block seconds = block{} + second;
    for (; end - at >= 64; at += 64) {
        const unsigned char* here = buf + at;
        block hits = pairs(here, firsts, seconds) | pairs(here + 16, firsts, seconds) |
                     pairs(here + 32, firsts, seconds) | pairs(here + 48, firsts, seconds);
        uint64_t halves[2];
        std::memcpy(halves, &hits, 16);
        if ((halves[0] | halves[1]) != 0)
            break; // a pair among these offsets: found below
    }
    for (; at < end; ++at)
        if (buf[at] == first && buf[at + 1] == second)
            return at;
    return end;
}

void found_at(editor_state& st, int32_t at, const pattern& p, bool replace, FILE* out)
{
    std::fprintf(out, "Found at %04x\n", static_cast<unsigned>(at));
    if (replace)
        for (int i = 0; i < p.count; ++i) {
            auto value = static_cast<unsigned char>(p.replacement[i]);
            unsigned char& byte = st.edit_buffer[static_cast<size_t>(at + i)];
            st.unsaved = st.unsaved || (at + i < st.data_count && byte != value);
            byte = value;
        }
}

void scan(editor_state& st, const pattern& p, bool replace, FILE* out)
{
    if (p.count == 0 || p.search[0] < 0 || p.search[0] > 255)
        return; // no byte equals the first value
    // A window must lie inside edit_buffer; later ones are skipped.
    int32_t end = std::min(st.endoffset, buffer_limit + 1 - (p.count - 1));
    const unsigned char* buf = st.edit_buffer.data();
    auto first = static_cast<unsigned char>(p.search[0]);
    // Each place is looked for from the offset after the last one, so a
    // replace has already stored its bytes when the next is looked for.
    if (p.count == 1) {
        for (int32_t at = std::max(0, st.begoffset); at < end; ++at) {
            auto* next = static_cast<const unsigned char*>(std::memchr(buf + at, first, end - at));
            if (next == nullptr)
                break;
            at = static_cast<int32_t>(next - buf);
            found_at(st, at, p, replace, out);
        }
        return;
    }
    if (p.search[1] < 0 || p.search[1] > 255)
        return;
    auto second = static_cast<unsigned char>(p.search[1]);
    for (int32_t at = std::max(0, st.begoffset); at < end; ++at) {
        at = next_pair(buf, at, end, first, second);
        if (at < end && matches(st, at, p))
            found_at(st, at, p, replace, out);
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
