// Line editing at a terminal, with libedit: the cursor keys, Ctrl-A, E, K,
// U and W, the recall of earlier command lines with the arrows and Ctrl-R.
// Only the build that runs at a terminal has it.
#include <cstdio>
#include <histedit.h>
#include <string>

#include "input.hpp"

namespace {

EditLine* editor = nullptr;
History* recall = nullptr;
const char* prompt_text = "";

char* show_prompt(EditLine*)
{
    return const_cast<char*>(prompt_text);
}

line_read edit_line(line_input& in, const char* prompt, std::string& line, size_t most, bool command)
{
    prompt_text = prompt;
    std::fflush(in.shown);
    take_interrupt();
    int count = 0;
    const char* text = el_gets(editor, &count);
    line.clear();
    if (text == nullptr || count <= 0) {
        // Ctrl-C drops the line, Ctrl-D ends the input: either way the
        // cursor moves to a fresh line first.
        bool interrupted = take_interrupt() || count < 0;
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
    if (command && !line.empty()) {
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

} // namespace

void start_line_editing(line_input& in)
{
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
    el_source(editor, nullptr); // the user's own ~/.editrc
    in.editor = edit_line;
}
