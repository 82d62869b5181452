// The editor's routines: start-up, the prompt loop and the commands. Each
// takes the editor's state and writes its messages to `out`.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "state.hpp"

// Start-up: takes the file name and startbyte from the arguments (or asks
// for the name), loads the file and prints the report. False when the file
// could not be loaded; the message has been printed.
bool start_up(editor_state& st, int argc, char** argv, FILE* in, FILE* out);

// The ways a file is read into edit_buffer at cursor: the start-up load
// stores a 0xff for the end of the file; the loads of i and o store nothing
// for it and read at most `most` bytes (all of the file when negative).
enum class load_mode { startup, file };
// How a load ended: at the end of the file (or after `most` bytes), at the
// buffer's last slot, or on a read error (what came before is stored).
enum class load_end { done, limit, read_error };
load_end load_loop(editor_state& st, FILE* from, FILE* out, load_mode mode, int64_t most = -1);

// Reads one line without its line end; false at the end of the input.
bool read_line(FILE* in, std::string& line);

// Prompts, reads and acts on command lines until q or the end of the input.
void prompt_loop(editor_state& st, FILE* in, FILE* out);

// Shows up to 10 dump lines from cursor.
void show_dump(editor_state& st, FILE* out);

// Interprets one command line and says what the prompt loop does next.
int interpret(editor_state& st, std::string_view line, FILE* out);

// The commands. `line` is the zero-filled 200-byte command line; the
// commands that cut it into words do so in place.
void record_history(editor_state& st, const char* line);
int search_replace(editor_state& st, char* line, FILE* out, bool replace);
int edit_byte(editor_state& st, const char* line, FILE* out);
int delete_bytes(editor_state& st, char* line, FILE* out);
int insert_file(editor_state& st, char* line, FILE* out);
int overlay_file(editor_state& st, char* line, FILE* out);
void write_file(editor_state& st, FILE* in, FILE* out);

// The name the old file is copied to before a write: the character after
// the first dot becomes 7 (or 7 is appended), never the file's own name.
std::string backup_name(const std::string& file_name);

// Printed for a line a command cannot read.
inline constexpr const char* command_error = "command error, use ? for help...\n";
