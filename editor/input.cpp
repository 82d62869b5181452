// Reading lines from standard input: in large pieces, each line bounded,
// with the output flushed only before a read that may have to wait.
#include "input.hpp"

#include <algorithm>
#include <cstring>

namespace {

// Reads what the input has next. The read may wait for a person or a
// program that waits for our output, so that output is flushed first.
line_read read_more(line_input& in)
{
    if (in.eof || in.given)
        return line_read::end;
    std::fflush(in.shown);
    bool interrupted = false;
    int64_t n = sys::read_input(in.data, sizeof in.data, interrupted);
    if (interrupted)
        return line_read::interrupted;
    if (n > 0) {
        in.at = 0;
        in.end = static_cast<size_t>(n);
        return line_read::line;
    }
    in.eof = true; // the end of the input, or an input that cannot be read
    return line_read::end;
}

} // namespace

void give_input(line_input& in, const char* text, size_t size)
{
    in.given = true;
    in.at = 0;
    in.end = std::min(size, sizeof in.data);
    in.eof = true;
    std::memcpy(in.data, text, in.end);
}

void catch_interrupts(line_input& in)
{
    in.terminal = true;
    sys::catch_interrupts();
}

line_read read_line(line_input& in, const char* prompt, std::string& line, size_t most, line_kind kind)
{
    if (in.editor != nullptr)
        return in.editor(in, prompt, line, most, kind);
    if (prompt[0] != '\0' && prompt[1] == '\0')
        sys::put_char(in.shown, prompt[0]); // the "-" before every command line, at the least cost
    else
        std::fputs(prompt, in.shown);
    line.clear();
    sys::take_interrupt(); // a Ctrl-C while a command ran is not for this line
    bool any = false;
    // The line's characters as read, and whether the last was a CR: a CR
    // just before the LF, or at the very end of the input, belongs to the
    // line end (a script written with CRLF), whatever system wrote it.
    size_t raw = 0;
    bool cr_last = false;
    auto line_end = [&] {
        if (cr_last)
            line.resize(std::min(raw - 1, most));
    };
    for (;;) {
        if (in.at == in.end) {
            line_read got = read_more(in);
            if (got == line_read::end && any) {
                line_end();
                return line_read::line; // the last line, without its line end
            }
            if (got != line_read::line) {
                if (in.terminal)
                    std::fputs("\n", in.shown);
                line.clear();
                return got;
            }
        }
        const char* from = in.data + in.at;
        size_t left = in.end - in.at;
        auto* newline = static_cast<const char*>(std::memchr(from, '\n', left));
        size_t length = newline != nullptr ? static_cast<size_t>(newline - from) : left;
        line.append(from, std::min(length, most - std::min(most, line.size())));
        any = true;
        raw += length;
        if (length > 0)
            cr_last = from[length - 1] == '\r';
        in.at += length + (newline != nullptr ? 1 : 0);
        if (newline != nullptr) {
            line_end();
            return line_read::line;
        }
    }
}
