// The command interpreter and the small commands: help, version, history,
// display and go to the end.
#include <algorithm>
#include <cstring>

#include "commands.hpp"
#include "numbers.hpp"

#ifndef VOXA_VERSION
#define VOXA_VERSION 2.1
#endif
#ifndef VOXA_VERSION_TAG
#define VOXA_VERSION_TAG "C"
#endif

namespace {

const char* const help_text =
    "  quit    -q                (WITHOUT SAVING)         \n"
    "  help    -?                                         \n"
    "  version -v                (version information)    \n"
    "  history -h                (command history)  \n"
    "  use hist-!                (use command history)  \n"
    "      ex: -!2               (use command history 2) \n"
    "  display -d <offset>                                \n"
    "  gotoEOF -f \t                                     \n"
    "  search  -s [begoffset endoffset value] <value value value value>  (up to 5) \n"
    "     ex:  -s 0000 efff 31 32 33   (look for 123)\n"
    "  replace -r [begoffset endoffset value] <value...> [n newvalue] <newvalue...> \n"
    "     ex:  -r 0000 efff 31 32 33 n 37 38 39   (replace 123 with 789)\n"
    "  next    -n <searchfoundnumber>  (goto NEXT search found value)\n"
    "  ins file-i [offset filetoinsert ]                  \n"
    "  delete  -l [offset #ofbytestodelete ]              \n"
    "  overlay -o [offset filetouseforoverlay #ofbytestooverlay (0 for all) ]   \n"
    "  edit    -e [offset newvalue ]                      \n"
    "     ex:  -e 0002 77                                 \n"
    "  write   -w                                         \n"
    "\n";

void list_history(const editor_state& st, FILE* out)
{
    for (int i = 1; i < st.history_count; ++i)
        std::fprintf(out, "%d: %s\n", i, st.history[static_cast<size_t>((st.history_first + i) % history_slots)].data());
}

// d and f: d moves to the offset typed from the line's third character on
// (a number above 0, or one whose third character is the digit 0); f moves
// to 75 bytes before the end of the data, so the dump shows its last bytes.
int display(editor_state& st, const char* line)
{
    int32_t offset = hex_number(line + 2);
    if (offset > 0 || line[2] == '0')
        st.cursor = st.addr_counter = offset;
    if (line[0] == 'f')
        st.cursor = st.addr_counter = std::max(0, st.data_count - 75);
    return RESULT_DUMP;
}

} // namespace

void record_history(editor_state& st, const char* line)
{
    if (st.history_count >= history_slots) { // the oldest line goes
        st.history_first = (st.history_first + 1) % history_slots;
        st.history_count = history_slots - 1;
    }
    auto& slot = st.history[static_cast<size_t>((st.history_first + st.history_count++) % history_slots)];
    size_t length = strnlen(line, line_max);
    std::memcpy(slot.data(), line, length);
    slot[length] = '\0';
}

int interpret(editor_state& st, std::string_view text, FILE* out)
{
    if (text.size() > static_cast<size_t>(line_max)) {
        std::fputs(command_error, out);
        return RESULT_PROMPT;
    }
    // The zero-filled command line; every byte after the text is NUL.
    char line[line_size] = {};
    text.copy(line, text.size());
    char letter = line[0];
    if (letter != 'h' && letter != '!' && letter != ' ')
        record_history(st, line);

    switch (letter) {
    case '?':
        std::fputs(help_text, out);
        return RESULT_PROMPT;
    case 'v':
        std::fprintf(out, "Version %.2f (%s)\n", VOXA_VERSION, VOXA_VERSION_TAG);
        return RESULT_PROMPT;
    case 'h':
        list_history(st, out);
        return RESULT_PROMPT;
    case 'd':
    case 'f':
        return display(st, line);
    case 'q':
        return RESULT_QUIT;
    case 's':
    case 'r':
        return search_replace(st, line, out, letter == 'r');
    case 'e':
        return edit_byte(st, line, out);
    case 'l':
        return delete_bytes(st, line, out);
    case 'i':
        return insert_file(st, line, out);
    case 'o':
        return overlay_file(st, line, out);
    case 'w':
        return RESULT_WRITE;
    default: // !, n, the empty line and every other character
        return RESULT_PROMPT;
    }
}
