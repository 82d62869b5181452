// Feeds command scripts to the editor in-process, driving the prompt loop
// itself so that it can check, after every command, what the editor
// promises: the data stays within its bounds, a refused command changes no
// data byte, no stray file is left beside the file, and a write leaves the
// file and its backup as the user was told.
//
// An input is an 8-byte head that sets the session up, then the script:
//   head[0] & 7   how the editor starts: 0, 1, 6, 7 a 52-byte file loaded
//                 whole; 2 a small startbyte (head[1]); 3 any 32-bit
//                 startbyte (head[1..4]) on a sparse file that has bytes
//                 just before it (head[5], head[6]); 4 a name from a list,
//                 given as the argument or typed at the question (head[1],
//                 head[2]); 5 the data grown in memory to within head[1..2]
//                 bytes of the buffer limit
//   head[0] & 8   the file is a symbolic link to t.bin
//   head[0] & 16  the file has a second hard link, b.bin (it is rewritten
//                 in place)
// Script lines that start with # act on the files instead of the editor:
//   #f N   later writes run under a file size limit of N bytes (#f: none)
//   #g N   the file grows by N % 256 + 1 bytes, as if another program
//          wrote to it
//   #x     the file is removed          #d  a folder takes its name
//   #b     a folder takes the backup's name
//   #k     the backup's name is a hard link to the file
//   #o     another user's file holds the backup's name (o.bin, a second
//          link to it, must never change)
//   #s     the name is swapped for a symbolic link to another file, s.bin
//   #m     a mark left by a torn rewrite of a file whose number the file
//          has taken over since: it names the file's number with another
//          birth, and the backup as it stands (never acted on)
//   #c     a second file, a.cin, whose torn rewrite left the file's backup
//          name holding its last whole version, a mark saying so: no write
//          may replace that backup
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "commands.hpp"
#include "records.hpp"
#include "scratch.hpp"

namespace {

const char sample[] = "0123456789ABCDEF\xff\x00 edit me, search me, replace me.\x80\x7f";
constexpr size_t sample_size = sizeof sample - 1;
constexpr size_t head_size = 8;

[[noreturn]] void failed_check(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("\n*** ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputs("\n", stderr);
    va_end(args);
    scratch::clean_up(); // the reproducer brings the files back
    std::abort();
}

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            failed_check(__VA_ARGS__);                                                                                 \
    } while (0)

// ---------------------------------------------------------------------------
// What a file holds: a run of zero bytes (a sparse file's hole), then bytes.

struct content {
    enum kind_t { absent, regular, other } kind = absent;
    uint64_t zeros = 0;
    std::string bytes;

    uint64_t size() const { return zeros + bytes.size(); }
};

// Past this many bytes after a hole a file is not one this target makes.
constexpr uint64_t content_max = uint64_t{64} << 20;

content read_content(const std::string& name)
{
    content c;
    struct stat info {};
    if (stat(name.c_str(), &info) != 0)
        return c;
    c.kind = S_ISREG(info.st_mode) ? content::regular : content::other;
    if (c.kind != content::regular)
        return c;
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    CHECK(fd >= 0 && fstat(fd, &info) == 0, "cannot read %s: %s", name.c_str(), std::strerror(errno));
    auto size = static_cast<uint64_t>(info.st_size);
    off_t data = lseek(fd, 0, SEEK_DATA);
    c.zeros = data >= 0 ? std::min<uint64_t>(static_cast<uint64_t>(data), size) : errno == ENXIO ? size : 0;
    CHECK(size - c.zeros <= content_max, "%s holds %llu bytes after its hole", name.c_str(),
          static_cast<unsigned long long>(size - c.zeros));
    c.bytes.resize(size - c.zeros);
    size_t got = 0;
    while (got < c.bytes.size()) {
        ssize_t n = pread(fd, c.bytes.data() + got, c.bytes.size() - got, static_cast<off_t>(c.zeros + got));
        CHECK(n > 0, "cannot read %s", name.c_str());
        got += static_cast<size_t>(n);
    }
    close(fd);
    return c;
}

content normal(content c)
{
    size_t lead = std::min(c.bytes.find_first_not_of('\0'), c.bytes.size());
    c.zeros += lead;
    c.bytes.erase(0, lead);
    return c;
}

bool same(const content& a, const content& b)
{
    if (a.kind != b.kind || a.kind != content::regular)
        return a.kind == b.kind;
    content na = normal(a), nb = normal(b);
    return na.zeros == nb.zeros && na.bytes == nb.bytes;
}

std::string describe(const content& c)
{
    if (c.kind != content::regular)
        return c.kind == content::absent ? "no file" : "not a regular file";
    content n = normal(c);
    std::string s = std::to_string(n.size()) + " bytes (" + std::to_string(n.zeros) + " zeros, then";
    for (size_t i = 0; i < std::min<size_t>(n.bytes.size(), 24); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(n.bytes[i]));
        s += hex;
    }
    return s + (n.bytes.size() > 24 ? " ...)" : ")");
}

// Appends [begin, end) of `from` to `to`.
void append(content& to, const content& from, uint64_t begin, uint64_t end)
{
    end = std::min(end, from.size());
    if (begin >= end)
        return;
    uint64_t zeros = begin < from.zeros ? std::min(end, from.zeros) - begin : 0;
    if (to.size() == 0)
        to.zeros += zeros;
    else
        to.bytes.append(zeros, '\0');
    begin += zeros;
    if (begin < end)
        to.bytes.append(from.bytes, begin - from.zeros, end - begin);
}

// The file a write promises: the data in place of the part loaded, every
// byte of `whole` (the last whole version of the file) before and after it.
content written_file(const content& whole, const loaded_window& window, const unsigned char* data, int32_t count)
{
    content c;
    c.kind = content::regular;
    std::string_view bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(std::max(0, count)));
    if (window.whole_file || whole.kind != content::regular) {
        c.bytes = bytes;
        return c;
    }
    uint64_t size = whole.size();
    uint64_t before = std::min<uint64_t>(static_cast<uint64_t>(window.start), size);
    uint64_t after_at = std::min<uint64_t>(static_cast<uint64_t>(window.start + window.length), size);
    append(c, whole, 0, before);
    c.bytes.append(bytes);
    append(c, whole, after_at, size);
    return c;
}

// ---------------------------------------------------------------------------
// What the editor prints: the first part of each line, and whether a line
// reported a failure.

struct printed {
    static constexpr size_t kept = 64;
    std::vector<std::string> lines; // the first 64 lines, cut at 64 characters
    std::string line;
    size_t length = 0;
    bool error = false;         // a line "ERROR: ..."
    bool unreadable = false;    // the command error line

    void reset()
    {
        lines.clear();
        line.clear();
        length = 0;
        error = unreadable = false;
    }

    void end_line()
    {
        if (length == 0)
            return;
        // A replace with more than five values warns and still replaces the
        // first five, as the editor's own tests expect: not taken as a refusal.
        // So does an insert that took fewer bytes than it measured (the
        // file ended early, or the count of reads reached its limit): it
        // keeps what it took, and says so.
        bool warning = (line == "ERROR: 5 search chars max..." && length == line.size()) ||
                       line.find(" bytes but gave ") != std::string::npos;
        if (line.rfind("ERROR: ", 0) == 0 && !warning)
            error = true;
        if (length == std::strlen(command_error) - 1 && line.size() == length &&
            std::memcmp(line.data(), command_error, length) == 0)
            unreadable = true;
        if (lines.size() < kept)
            lines.push_back(line);
        line.clear();
        length = 0;
    }

    bool any_starting(std::string_view text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(text, 0) == 0; });
    }
};

printed shown;

// VOXA_FUZZ_ECHO=1 also shows it, to follow a reproducer.
const bool echo = std::getenv("VOXA_FUZZ_ECHO") != nullptr;

ssize_t take_output(void*, const char* bytes, size_t size)
{
    if (echo)
        std::fwrite(bytes, 1, size, stderr);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == '\n') {
            shown.end_line();
            continue;
        }
        if (shown.line.size() < printed::kept)
            shown.line.push_back(bytes[i]);
        ++shown.length;
    }
    return static_cast<ssize_t>(size);
}

// ---------------------------------------------------------------------------
// The scratch folder's files.

// Every name that may stand in the folder: the files made here, and the
// backups the editor may make of the files it edits.
const char* const named[] = {"a.bin", "a.7in", ".7a.bin", "f.bin", "g.bin", "sub", "p.fifo", "big.bin", "b.bin",
                             "t.bin", "o.bin", "s.bin", "a.cin"};
// What another user keeps at the backup's name (#o).
const char others[] = "another user's";
// What a.cin's backup holds after its torn rewrite (#c).
const char cin_whole[] = "a.cin as it was";
// The marks the moves plant.
const char stale_mark[] = ".voxa-torn-stale0";
const char cin_mark[] = ".voxa-torn-cin000";
// What a session may edit, by argument or at the name question.
const char* const names[] = {"a.bin", "missing.bin", "sub", "", "./a.bin", "sub/../a.bin", "sub/", "a.bin/x"};

void put_file(const char* name, uint64_t zeros, std::string_view bytes)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    CHECK(fd >= 0 && ftruncate(fd, static_cast<off_t>(zeros)) == 0 &&
              pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(zeros)) == static_cast<ssize_t>(bytes.size()),
          "cannot make %s: %s", name, std::strerror(errno));
    close(fd);
}

// The files that no session changes: sources for i and o, a folder, a pipe,
// and a file of almost 5,000,000 bytes (a hole, then a few bytes).
void make_lasting_files()
{
    put_file("f.bin", 0, "XY");
    put_file("g.bin", 0, std::string_view(sample, 10));
    put_file("big.bin", buffer_limit - 10, "BIG");
    CHECK(mkdir("sub", 0755) == 0 && mkfifo("p.fifo", 0644) == 0, "cannot make the lasting files");
}

// Checks that nothing but the files named is left; a mark is left only
// while a rewrite in place is unfinished (`mark`, empty when none is).
void check_folder(std::string_view mark = {})
{
    DIR* d = opendir(".");
    CHECK(d != nullptr, "cannot list the scratch folder");
    while (dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (name == "." || name == ".." || name == stale_mark || name == cin_mark)
            continue;
        bool is_mark = name.rfind(mark_prefix, 0) == 0;
        CHECK(is_mark || std::find(std::begin(named), std::end(named), name) != std::end(named),
              "a file that no one named is left in the folder: %s", e->d_name);
        CHECK(!is_mark || (mark.size() >= name.size() && mark.substr(mark.size() - name.size()) == name),
              "a mark is left with no rewrite unfinished: %s", e->d_name);
    }
    closedir(d);
    d = opendir("sub");
    CHECK(d != nullptr, "the folder sub is gone");
    int entries = 0;
    while (readdir(d) != nullptr)
        ++entries;
    closedir(d);
    CHECK(entries == 2, "a file was left in sub");
}

// Whether the scratch folder's files carry records (else a rewrite's
// record is a mark file of its own).
bool records_on_files()
{
    sys::folder here;
    bool kept = sys::open_folder(".", here) && sys::records_kept(here);
    sys::close_folder(here);
    return kept;
}

// A record of a torn rewrite whose last whole version is `backup`, left as
// a rewrite in place leaves it: on the backup, or in a mark made by this
// user, read-only.
void plant(const char* mark, const std::string& backup, sys::file_id file, const char* file_leaf)
{
    sys::file_info kept;
    if (!sys::info_of_name(backup, kept, false))
        return;
    bool on_files = records_on_files();
    if (on_files)
        kept.changed = 0; // setting the record changes it
    std::string text = torn_record(file, file_leaf, kept, sys::leaf_of(backup));
    if (on_files) {
        int fd = open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        CHECK(fd >= 0 && sys::write_record(fd, text), "cannot record %s", backup.c_str());
        close(fd);
        return;
    }
    scratch::remove_all(mark);
    put_file(mark, 0, text);
    chmod(mark, 0444);
}

// ---------------------------------------------------------------------------
// The session.

struct session {
    editor_state& st;
    line_input& in;
    FILE* out;
    unsigned char* snapshot;
    rlim_t size_limit = RLIM_INFINITY;
    bool empty_load = false; // a load from past the end leaves data_count at -1
    std::string kept_for_cin; // the backup that a.cin's torn rewrite keeps (#c)

    void check_state() const
    {
        CHECK((st.data_count >= 0 || (empty_load && st.data_count == -1)) && st.data_count <= buffer_limit,
              "data_count is %d", st.data_count);
        CHECK(st.history_count >= 0 && st.history_count <= history_slots, "history_count is %d", st.history_count);
        check_folder(st.unfinished.pending ? st.unfinished.mark : std::string());
        struct stat info {};
        if (lstat("o.bin", &info) == 0)
            CHECK(read_content("o.bin").bytes == others, "another user's file at the backup's name was written");
        if (!kept_for_cin.empty())
            CHECK(read_content(kept_for_cin).bytes == cin_whole, "a write replaced the last whole version of a.cin");
    }

    void act_on_files(const std::string& line)
    {
        const std::string& file = st.file_name;
        std::string backup = backup_name(file);
        switch (line.size() > 1 ? line[1] : ' ') {
        case 'f': {
            char* end = nullptr;
            unsigned long long n = std::strtoull(line.c_str() + 2, &end, 10);
            size_limit = end == line.c_str() + 2 ? RLIM_INFINITY : static_cast<rlim_t>(n);
            break;
        }
        case 'g': {
            int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd >= 0) {
                std::string more(std::strtoul(line.c_str() + 2, nullptr, 10) % 256 + 1, 'G');
                if (write(fd, more.data(), more.size()) < 0)
                    failed_check("cannot grow %s", file.c_str());
                close(fd);
            }
            break;
        }
        case 'x':
            scratch::remove_all(file);
            break;
        case 'd':
            scratch::remove_all(file);
            mkdir(file.c_str(), 0755);
            break;
        case 'b':
            kept_for_cin.clear();
            scratch::remove_all(backup);
            mkdir(backup.c_str(), 0755);
            break;
        case 'k':
            kept_for_cin.clear();
            scratch::remove_all(backup);
            link(file.c_str(), backup.c_str());
            break;
        case 'o':
            kept_for_cin.clear();
            scratch::remove_all(backup);
            scratch::remove_all("o.bin");
            put_file("o.bin", 0, others);
            if (chown("o.bin", 65534, 65534) != 0 || chmod("o.bin", 0666) != 0 || link("o.bin", backup.c_str()) != 0)
                scratch::remove_all("o.bin"); // not as root, or the backup's folder is gone
            break;
        case 's':
            scratch::remove_all("s.bin");
            put_file("s.bin", 0, "swapped");
            scratch::remove_all(file);
            symlink("s.bin", file.c_str());
            break;
        case 'm': {
            sys::file_info now;
            if (!sys::info_of_name(file, now) || now.id.birth == 0)
                break; // no birth to tell the files apart
            sys::file_id earlier = now.id;
            earlier.birth -= 1;
            plant(stale_mark, backup, earlier, "old.bin");
            break;
        }
        case 'c': {
            sys::file_info cin;
            struct stat there {};
            if (sys::folder_of(backup) != "." || (lstat(backup.c_str(), &there) == 0 && !S_ISREG(there.st_mode)))
                break;
            put_file("a.cin", 0, "a.cin, torn");
            scratch::remove_all(backup);
            put_file(backup.c_str(), 0, cin_whole);
            chmod(backup.c_str(), 0644); // writable by its maker alone, as a kept backup is
            if (sys::info_of_name("a.cin", cin)) {
                plant(cin_mark, backup, cin.id, "a.cin");
                kept_for_cin = backup;
            }
            break;
        }
        default:
            break;
        }
    }

    // w: the write, under the size limit, and what it left on disk.
    void write_step()
    {
        // After a failed rewrite in place the backup kept holds the last
        // whole file.
        std::string backup = st.unfinished.pending ? st.unfinished.backup : backup_name(st.file_name);
        content old = read_content(st.file_name);
        content old_backup = read_content(backup);
        const content& whole = st.unfinished.pending ? old_backup : old;
        loaded_window window = st.window;

        rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        rlimit lowered = limit;
        lowered.rlim_cur = std::min(size_limit, limit.rlim_max);
        setrlimit(RLIMIT_FSIZE, &lowered);
        write_file(st, in, out);
        setrlimit(RLIMIT_FSIZE, &limit);
        std::fflush(out);
        shown.end_line();

        bool refused = !shown.lines.empty() && shown.lines[0].rfind("ERROR: ", 0) == 0;
        bool ahead = expert_user ? !refused : shown.any_starting("About to WRITE") &&
                                                  !shown.any_starting("Update declined by user...");
        bool failed = shown.error || shown.any_starting("Can't open file ");
        content now = read_content(st.file_name);
        content now_backup = read_content(backup);
        if (!ahead) {
            CHECK(same(now, old) && same(now_backup, old_backup),
                  "a write that did not go ahead changed the file or its backup: file %s, was %s",
                  describe(now).c_str(), describe(old).c_str());
            CHECK(!refused || st.write_failed, "a refused write is not recorded as failed");
        } else if (!failed) {
            content expected = written_file(whole, window, st.edit_buffer.data(), st.data_count);
            CHECK(same(now, expected), "the file written is not the new file: %s, expected %s", describe(now).c_str(),
                  describe(expected).c_str());
            const content& expected_backup = old.kind == content::absent ? old_backup : whole;
            CHECK(same(now_backup, expected_backup), "the backup is not the old file: %s, expected %s",
                  describe(now_backup).c_str(), describe(expected_backup).c_str());
            CHECK(!st.write_failed, "a write that said nothing wrong is recorded as failed");
        } else {
            CHECK(same(now, whole) || same(now_backup, whole),
                  "a failed write lost the old file: file %s, backup %s, old %s", describe(now).c_str(),
                  describe(now_backup).c_str(), describe(whole).c_str());
            CHECK(st.write_failed, "a failed write is not recorded as failed");
        }
    }

    // One command line; false after q.
    bool run_command(const std::string& line)
    {
        if (!line.empty() && line[0] == '#') {
            act_on_files(line);
            return true;
        }
        // The data before the command, to see that a refusal keeps it: all
        // of it when it is small or the command is one that stores bytes,
        // else its first and last pages.
        constexpr int32_t page = 4096;
        int32_t count = std::max(0, st.data_count);
        bool whole = count <= 16 * page || (!line.empty() && std::strchr("relio", line[0]) != nullptr);
        unsigned char* data = st.edit_buffer.data();
        int32_t tail = std::max(0, count - page);
        if (whole) {
            std::memcpy(snapshot, data, static_cast<size_t>(count));
        } else {
            std::memcpy(snapshot, data, page);
            std::memcpy(snapshot + tail, data + tail, static_cast<size_t>(count - tail));
        }
        int32_t count_before = st.data_count;

        shown.reset();
        int code = interpret(st, line, out);
        if (code == RESULT_QUIT)
            return false;
        if (code == RESULT_WRITE)
            write_step();
        else if (code != RESULT_PROMPT)
            show_dump(st, out);
        std::fflush(out);
        shown.end_line();

        if (shown.error || shown.unreadable) {
            CHECK(st.data_count == count_before, "a refused command changed data_count from %d to %d: %.80s",
                  count_before, st.data_count, line.c_str());
            bool kept = whole ? std::memcmp(snapshot, data, static_cast<size_t>(count)) == 0
                              : std::memcmp(snapshot, data, page) == 0 &&
                                    std::memcmp(snapshot + tail, data + tail, static_cast<size_t>(count - tail)) == 0;
            CHECK(kept, "a refused command changed the data: %.80s", line.c_str());
        }
        check_state();
        return true;
    }

    // As the prompt loop: until q or the end of the input.
    void run()
    {
        std::string line;
        for (;;) {
            line_read got = read_line(in, "-", line, line_max + 1, line_kind::command);
            if (got == line_read::end)
                return;
            if (got == line_read::interrupted)
                continue;
            if (!run_command(line))
                return;
        }
    }
};

int32_t int32_from(const uint8_t* bytes)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | bytes[i];
    return static_cast<int32_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    scratch::make("voxa-fuzz", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    scratch::inside here;
    static bool ready = [] {
        // A write past the size limit fails instead of ending the process
        // (set here: libFuzzer sets its own handlers after initialising).
        std::signal(SIGXFSZ, SIG_IGN);
        make_lasting_files();
        return true;
    }();
    static auto st = std::make_unique<editor_state>();
    static auto in = std::make_unique<line_input>();
    static auto snapshot = std::make_unique<unsigned char[]>(byte_store::size());
    static FILE* nowhere = std::fopen("/dev/null", "w");
    static FILE* out = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, take_output, nullptr, nullptr});
    (void)ready;
    if (size < head_size || size > head_size + 4096 || nowhere == nullptr || out == nullptr)
        return 0;
    const uint8_t* head = data;
    std::string script(reinterpret_cast<const char*>(data + head_size), size - head_size);

    for (const char* name : {"a.bin", "a.7in", ".7a.bin", "b.bin", "t.bin", "o.bin", "s.bin", "a.cin"})
        scratch::remove_all(name);
    if (DIR* d = opendir(".")) { // the marks an unfinished rewrite left
        while (dirent* e = readdir(d))
            if (std::string_view(e->d_name).rfind(mark_prefix, 0) == 0)
                unlink(e->d_name);
        closedir(d);
    }
    int kind = head[0] & 7;
    std::string file = "a.bin";
    std::string start;
    int argc = 2;
    uint64_t zeros = 0;
    std::string bytes(sample, sample_size);
    if (kind == 2) {
        start = std::to_string(head[1] % 8 - 3);
    } else if (kind == 3) {
        int32_t startbyte = int32_from(head + 1);
        start = std::to_string(startbyte);
        if (startbyte > 1) {
            // Bytes just before the part loaded and in it, after a hole.
            zeros = static_cast<uint64_t>(std::max<int64_t>(0, int64_t{startbyte} - 1 - head[5] % 64));
            bytes.clear();
            for (int i = 0; i < head[6]; ++i)
                bytes.push_back(sample[i % sample_size]);
        }
    } else if (kind == 4) {
        file = names[head[1] % std::size(names)];
        if (head[2] & 1) {
            argc = 1;
            script = file + "\n" + script;
        }
    }
    if (!start.empty())
        argc = 3;
    const char* real = head[0] & 8 ? "t.bin" : "a.bin";
    put_file(real, zeros, bytes);
    if (head[0] & 8)
        CHECK(symlink("t.bin", "a.bin") == 0, "cannot link a.bin");
    if (head[0] & 16)
        CHECK(link(real, "b.bin") == 0, "cannot link b.bin");

    std::destroy_at(st.get()); // a fresh state, built in place
    std::construct_at(st.get());
    std::destroy_at(in.get());
    std::construct_at(in.get());
    in->shown = nowhere;
    give_input(*in, script.data(), script.size());
    std::string program = "voxa";
    char* argv[] = {program.data(), file.data(), start.data(), nullptr};
    if (argc == 1)
        argv[1] = nullptr;

    bool started = start_up(*st, argc, argv, *in, out);
    std::fflush(out);
    struct stat info {};
    bool loadable = stat(argc == 1 ? file.c_str() : argv[1], &info) == 0 && S_ISREG(info.st_mode);
    CHECK(started == loadable, "start-up %s %s", started ? "loaded" : "refused", file.c_str());
    session s{*st, *in, out, snapshot.get(), RLIM_INFINITY, false, {}};
    if (started) {
        s.empty_load = st->data_count == -1;
        if (kind == 5) {
            // Data of almost 5,000,000 bytes, as if a file that large had
            // been loaded: the sample at both ends, zeros in between.
            st->data_count = buffer_limit - (head[1] | head[2] << 8) % 8192;
            std::memcpy(&st->edit_buffer[static_cast<size_t>(st->data_count) - sample_size], sample, sample_size);
            st->edit_buffer[static_cast<size_t>(st->data_count)] = 0xff;
            st->window.length = st->data_count;
        }
        s.check_state();
        s.run();
    }
    check_folder(started && st->unfinished.pending ? st->unfinished.mark : std::string());
    return 0;
}
