// Line editing at a terminal, with libedit: the cursor keys, Ctrl-A, E, K,
// U and W, the recall of earlier command lines with the arrows and Ctrl-R,
// and Tab to complete a file name. Only the build that runs at a terminal
// has it.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <histedit.h>
#include <langinfo.h>
#include <string>

#include "input.hpp"

namespace {

EditLine* editor = nullptr;
History* recall = nullptr;
const char* prompt_text = "";
line_kind reading = line_kind::answer; // what the line being read is for

char* show_prompt(EditLine*)
{
    return const_cast<char*>(prompt_text);
}

// Ctrl-C leaves its mark, as a shell does: the cursor moves past the rest
// of the dropped line, which stays on screen, and ^C follows it. The rest
// is written over itself as the line showed it, a control character as ^X.
void mark_interrupt(FILE* shown)
{
    const LineInfo* typed = el_line(editor);
    for (const char* at = typed->cursor; at < typed->lastchar; ++at) {
        auto c = static_cast<unsigned char>(*at);
        if (c < 0x20 || c == 0x7f)
            std::fprintf(shown, "^%c", c ^ 0x40);
        else
            std::fputc(c, shown);
    }
    std::fputs("^C", shown);
}

line_read edit_line(line_input& in, const char* prompt, std::string& line, size_t most, line_kind kind)
{
    prompt_text = prompt;
    reading = kind;
    std::fflush(in.shown);
    sys::take_interrupt();
    int count = 0;
    const char* text = el_gets(editor, &count);
    line.clear();
    if (text == nullptr || count <= 0) {
        // Ctrl-C drops the line, Ctrl-D ends the input: either way the
        // cursor moves to a fresh line first.
        bool interrupted = sys::take_interrupt() || count < 0;
        if (interrupted)
            mark_interrupt(in.shown);
        std::fputs("\n", in.shown);
        el_reset(editor);
        if (interrupted)
            return line_read::interrupted;
        in.eof = true;
        return line_read::end;
    }
    line.assign(text, static_cast<size_t>(count));
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r') // the line end's, as in a script
        line.pop_back();
    if (kind == line_kind::command && !line.empty()) {
        HistEvent event;
        history(recall, &event, H_ENTER, line.c_str());
    }
    if (line.size() > most)
        line.resize(most);
    return line_read::line;
}

// Ctrl-D ends the input on an empty line and deletes the character under
// the cursor otherwise, without echoing itself.
unsigned char end_or_delete(EditLine* el, int)
{
    const LineInfo* line = el_line(el);
    if (line->buffer == line->lastchar)
        return CC_EOF;
    if (line->cursor == line->lastchar)
        return CC_ERROR;
    el_cursor(el, 1);
    el_deletestr(el, 1);
    return CC_REFRESH;
}

// Tab completes the file name before the cursor in the answer to the
// file-name question and in the file word of an i or o line, with the
// library's own completion; anywhere else it only beeps. The blank the
// library puts after a whole name goes: the answer is the name, and an i
// line's name is its last word.
unsigned char complete_file_name(EditLine* el, int key)
{
    const LineInfo* typed = el_line(el);
    bool file_line = typed->buffer < typed->lastchar && (typed->buffer[0] == 'i' || typed->buffer[0] == 'o');
    bool past_letter = std::memchr(typed->buffer, ' ', static_cast<size_t>(typed->cursor - typed->buffer)) != nullptr;
    if (reading != line_kind::file_name && !(reading == line_kind::command && file_line && past_letter))
        return CC_ERROR;
    auto length = typed->lastchar - typed->buffer;
    unsigned char done = _el_fn_complete(el, key);
    typed = el_line(el);
    if (typed->lastchar - typed->buffer > length && typed->cursor > typed->buffer && typed->cursor[-1] == ' ') {
        el_deletestr(el, 1);
        done = CC_REFRESH;
    }
    return done;
}

// The library reads characters in the terminal's own character set, which
// the locale names, and drops bytes that set does not know. Every byte
// typed reaches the line in UTF-8 (the terminals of today), or where each
// byte is a character of its own; in the C locale, whose characters are
// ASCII alone, the library would drop every other byte.
bool every_byte_reaches_the_line()
{
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0)
        return true;
    for (int byte = 0x80; byte <= 0xff; ++byte) {
        char c = static_cast<char>(byte);
        wchar_t w = 0;
        std::mbstate_t state{};
        if (std::mbrtowc(&w, &c, 1, &state) > 1)
            return false;
    }
    return true;
}

} // namespace

void start_line_editing(line_input& in)
{
    if (!every_byte_reaches_the_line())
        return; // plain lines, then, which take every byte as it comes
    editor = el_init("voxa", stdin, stdout, stderr);
    recall = history_init();
    if (editor == nullptr || recall == nullptr)
        return; // plain lines, then
    HistEvent event;
    history(recall, &event, H_SETSIZE, 1000);
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_SIGNAL, 1); // the terminal is set back on Ctrl-Z and restored after it
    el_set(editor, EL_HIST, history, recall);
    el_set(editor, EL_PROMPT, show_prompt);
    el_set(editor, EL_ADDFN, "voxa-end-or-delete", "End the input or delete a character", end_or_delete);
    el_set(editor, EL_BIND, "^D", "voxa-end-or-delete", nullptr);
    el_set(editor, EL_BIND, "^R", "em-inc-search-prev", nullptr);
    el_set(editor, EL_BIND, "^U", "em-kill-line", nullptr);
    el_set(editor, EL_BIND, "^W", "ed-delete-prev-word", nullptr);
    el_set(editor, EL_ADDFN, "voxa-complete", "Complete a file name", complete_file_name);
    el_set(editor, EL_BIND, "^I", "voxa-complete", nullptr);
    el_source(editor, nullptr); // the user's own ~/.editrc
    in.editor = edit_line;
}
