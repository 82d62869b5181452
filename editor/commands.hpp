// The editor's routines: start-up, the prompt loop and the commands. Each
// takes the editor's state and writes its messages to `out`.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "input.hpp"
#include "state.hpp"

// Start-up: takes the file name and startbyte from the arguments (or asks
// for the name), loads the file and prints the report. False when the file
// could not be loaded; the message has been printed.
bool start_up(editor_state& st, int argc, char** argv, line_input& in, FILE* out);

// The ways a file is read into edit_buffer at cursor: the start-up load
// passes the bytes before startbyte and stores a 0xff for the end of the
// file; the loads of i and o store their file from its first byte,
// whatever startbyte is, store nothing for its end, and read at most `most`
// bytes (all of the file when negative).
enum class load_mode { startup, file };
// How a load ended: at the end of the file (or after `most` bytes), at the
// buffer's last slot or the last position a counter holds, or on a read
// error (what came before is stored).
enum class load_end { done, limit, read_error };
struct load_result {
    load_end end = load_end::done;
    int64_t taken = 0; // bytes taken from the file, stored or not
};
load_result load_loop(editor_state& st, sys::handle fd, FILE* out, load_mode mode, int64_t most = -1);

// Prompts, reads and acts on command lines until q or the end of the input.
void prompt_loop(editor_state& st, line_input& in, FILE* out);

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
// Writes the data back after the question; records in st.write_failed
// whether a write that went ahead failed.
void write_file(editor_state& st, line_input& in, FILE* out);
// The build that writes without asking (user_level.cpp).
extern const bool expert_user;
// Start-up records the file it loaded and its folders, which a write checks
// its name still leads to, and says so when a rewrite of that file did not
// finish.
void remember_loaded_file(editor_state& st, const sys::file_info& info, FILE* out);

// The text of the mark a rewrite in place leaves beside the backup until it
// is whole: the file rewritten and its backup, as the rewrite found them.
std::string mark_text(const sys::file_id& file, const std::string& file_leaf, const sys::file_info& backup,
                      const std::string& backup_leaf);
// Marks are named so, and a random tail.
inline constexpr const char* mark_prefix = ".voxa-torn-";

// The backup rule on a name: the character after the first dot becomes 7,
// or 7 is appended (in place of the last character when the last part of
// the name would grow past 255 bytes).
std::string backup_rule(const std::string& name);
// The name the old file is copied to before a write: the rule on the whole
// name, or on its last part when the rule would put the backup in another
// folder or make a part longer than 255 bytes; empty when no name can be
// made. It may be the file's own name, which the write refuses.
std::string backup_name(const std::string& file_name);

// Printed for a line a command cannot read.
inline constexpr const char* command_error = "command error, use ? for help...\n";
