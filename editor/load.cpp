// Loading a file into edit_buffer: the start-up load, and the loop it shares
// with the insert and overlay commands.
#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "commands.hpp"
#include "numbers.hpp"

namespace {

// Reads a file in large pieces while the load walks it byte by byte.
struct byte_reader {
    FILE* file;
    size_t at = 0;
    size_t size = 0;
    unsigned char chunk[1 << 16];

    explicit byte_reader(FILE* f) : file(f) {}

    // The next byte, or -1 at the end of the file or on a read error.
    int next()
    {
        if (at == size) {
            at = 0;
            size = std::fread(chunk, 1, sizeof chunk, file);
            if (size == 0)
                return -1;
        }
        return chunk[at++];
    }
};

// How many of the bytes already read can be stored in one go: every one of
// them is stored and counted the way the byte-by-byte loop would.
size_t whole_run(const editor_state& st, const byte_reader& rd, int64_t left)
{
    if (int64_t{st.addr_counter} + 1 < st.startbyte)
        return 0;
    int64_t n = std::min<int64_t>(rd.size - rd.at, int64_t{buffer_limit} + 1 - st.cursor);
    n = std::min<int64_t>(n, INT32_MAX - int64_t{st.addr_counter});
    return static_cast<size_t>(std::max<int64_t>(0, std::min(n, left)));
}

} // namespace

load_end load_loop(editor_state& st, FILE* from, FILE* out, load_mode mode, int64_t most)
{
    auto rd = std::make_unique<byte_reader>(from);
    bool counted = most >= 0;
    int64_t reads = 0;
    for (;;) {
        size_t run = whole_run(st, *rd, counted ? most - reads : INT64_MAX);
        if (run > 0) {
            std::memcpy(&st.edit_buffer[st.cursor], rd->chunk + rd->at, run);
            rd->at += run;
            st.cursor += static_cast<int32_t>(run);
            st.addr_counter += static_cast<int32_t>(run);
            reads += static_cast<int64_t>(run);
            continue;
        }
        if (st.cursor > buffer_limit) {
            std::fprintf(out, "Read %ld to %ld bytes, use 'startbyte' option to chg starting byte. \n",
                         long{st.startbyte}, long{wrap_add(st.addr_counter, -1)});
            return load_end::limit;
        }
        int byte = rd->next();
        bool end = byte < 0;
        st.addr_counter = wrap_add(st.addr_counter, 1);
        ++reads;
        if (counted && reads > most)
            end = true;
        if (st.addr_counter >= st.startbyte && (!end || mode == load_mode::startup))
            st.edit_buffer[st.cursor++] = static_cast<unsigned char>(byte);
        if (end)
            break;
    }
    return std::ferror(from) ? load_end::read_error : load_end::done;
}

namespace {

bool is_directory(FILE* f)
{
    struct stat info {};
    return fstat(fileno(f), &info) == 0 && S_ISDIR(info.st_mode);
}

void take_arguments(editor_state& st, int argc, char** argv, FILE* in, FILE* out)
{
    if (argc >= 2) {
        st.file_name = argv[1];
    } else {
        std::fprintf(out, "\nEnter Filename to VOXA....\n");
        std::fflush(out);
        if (!read_line(in, st.file_name))
            st.file_name.clear();
    }
    st.startbyte = argc == 3 ? startbyte_number(argv[2]) : 0;
}

} // namespace

bool start_up(editor_state& st, int argc, char** argv, FILE* in, FILE* out)
{
    take_arguments(st, argc, argv, in, out);
    FILE* file = std::fopen(st.file_name.c_str(), "rb");
    if (file == nullptr || is_directory(file)) {
        if (file != nullptr)
            std::fclose(file);
        std::fprintf(out, "Can't Open file %s.\n", st.file_name.c_str());
        return false;
    }
    std::fprintf(out, "Please Wait... Loading %s into memory \n", st.file_name.c_str());
    st.cursor = 0;
    st.addr_counter = 0;
    load_end end = load_loop(st, file, out, load_mode::startup);
    std::fclose(file);
    if (end == load_end::read_error) {
        std::fprintf(out, "ERROR: read error in file %s, nothing loaded...\n", st.file_name.c_str());
        return false;
    }
    std::fprintf(out, " %ld Bytes Loaded into memory. \n", long{st.cursor} - 1);
    std::fprintf(out, " Note! Use '?' for command HELP. \n");
    st.whole_file = st.startbyte <= 1 && end == load_end::done;
    st.data_count = st.cursor - 1;
    st.cursor = 0;
    st.addr_counter = st.startbyte;
    return true;
}
