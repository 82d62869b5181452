// Loading a file into edit_buffer: the start-up load, and the loop it shares
// with the insert and overlay commands.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>
#include <utility>

#include "commands.hpp"
#include "numbers.hpp"

namespace {

constexpr size_t huge_page = size_t{2} << 20;
constexpr size_t chunk_size = size_t{1} << 16;

} // namespace

byte_store::byte_store()
{
    // Room for a 2 MiB-aligned run of whole huge pages that holds the buffer.
    size_t pages = (size() + huge_page - 1) / huge_page * huge_page;
    mapping_ = sys::reserve_zeroed(pages + huge_page, mapped_);
    if (mapping_ == nullptr)
        throw std::bad_alloc();
    auto at = reinterpret_cast<uintptr_t>(mapping_);
    bytes_ = static_cast<unsigned char*>(mapping_) + ((huge_page - at % huge_page) % huge_page);
}

byte_store::~byte_store()
{
    sys::release(mapping_, mapped_);
}

void byte_store::set_all(unsigned char value)
{
    std::memset(bytes_, value, size());
}

void byte_store::zero(size_t at, size_t n)
{
    assert(n <= size() && at <= size() - n);
    // Whole pages are given back: they read as zeros again and take no room.
    size_t page = sys::page_size();
    auto start = reinterpret_cast<uintptr_t>(bytes_ + at);
    size_t head = std::min(n, (page - start % page) % page);
    size_t whole = (n - head) / page * page;
    if (whole == 0 || !sys::give_back(bytes_ + at + head, whole))
        head = n, whole = 0;
    // The pages at the edges are written only where they hold other bytes.
    for (auto [from, count] : {std::pair{at, head}, std::pair{at + head + whole, n - head - whole}})
        if (count > 0 && (bytes_[from] != 0 || std::memcmp(bytes_ + from, bytes_ + from + 1, count - 1) != 0))
            std::memset(bytes_ + from, 0, count);
}

void byte_store::prefer_huge_pages()
{
    sys::prefer_huge_pages(bytes_, (size() + huge_page - 1) / huge_page * huge_page);
}

namespace {

// A file being loaded, read in large pieces while the load takes it byte by
// byte. A regular file passes the bytes before startbyte with a seek.
struct source {
    sys::handle fd;
    bool seekable;
    int64_t size;
    size_t at = 0;
    size_t end = 0;
    bool failed = false;
    unsigned char* chunk;

    source(sys::handle file, const sys::file_info& info, unsigned char* room)
        : fd(file), seekable(info.kind == sys::file_kind::regular), size(info.size), chunk(room)
    {
    }

    // Reads up to n bytes into `to`; 0 at the end of the file or on an error.
    size_t read_into(unsigned char* to, size_t n)
    {
        int64_t got = sys::read_some(fd, to, n);
        failed = failed || got < 0;
        return got > 0 ? static_cast<size_t>(got) : 0;
    }

    bool refill()
    {
        at = 0;
        end = read_into(chunk, chunk_size);
        return end > 0;
    }

    // Passes up to n bytes; how many it passed, 0 at the end of the file.
    // A seek is taken only when the last byte it passes is there to read:
    // a kernel file may say it is larger than what it gives.
    int64_t skip(int64_t n)
    {
        if (at == end && seekable) {
            int64_t here = sys::position(fd);
            int64_t left = here < 0 ? 0 : size - here;
            int64_t passed = std::min(n, left);
            unsigned char last = 0;
            if (passed > 0 && sys::read_at(fd, &last, 1, here + passed - 1) && sys::move_to(fd, here + passed))
                return passed;
        }
        if (at == end && !refill())
            return 0;
        size_t passed = std::min<size_t>(static_cast<size_t>(n), end - at);
        at += passed;
        return static_cast<int64_t>(passed);
    }

    // The run that starts where the file stands, of at most n bytes: a hole
    // of a sparse file, which reads as zeros and is passed with a seek, or
    // data up to where the next hole starts. Its length; `hole` tells which.
    int64_t next_run(int64_t n, bool& hole)
    {
        hole = false;
        int64_t here = at == end && seekable ? sys::position(fd) : -1;
        if (here < 0 || here >= size)
            return n;
        // Nothing but a hole to the end gives the size as the file stands now.
        int64_t data = sys::data_from(fd, here);
        // The probes may move the file's position: it is set again, past the hole.
        if (data <= here) { // data, or no holes known
            int64_t next_hole = sys::hole_from(fd, here);
            bool known = next_hole > here && sys::move_to(fd, here);
            return known ? std::min<int64_t>(n, next_hole - here) : n;
        }
        int64_t passed = std::min<int64_t>(n, data - here);
        hole = sys::move_to(fd, here + passed);
        return hole ? passed : n;
    }

    // Stores up to n bytes at `to`, read straight into place when nothing is
    // waiting in the chunk; how many it stored, 0 at the end of the file.
    int64_t take(unsigned char* to, int64_t n)
    {
        if (at == end)
            return static_cast<int64_t>(read_into(to, static_cast<size_t>(n)));
        size_t taken = std::min<size_t>(static_cast<size_t>(n), end - at);
        std::memcpy(to, chunk + at, taken);
        at += taken;
        return static_cast<int64_t>(taken);
    }
};

unsigned char chunk_room[chunk_size];

} // namespace

load_result load_loop(editor_state& st, sys::handle fd, FILE* out, load_mode mode, int64_t most)
{
    sys::file_info info;
    if (!sys::info_of(fd, info))
        info.kind = sys::file_kind::none;
    source file(fd, info, chunk_room);
    load_result result;
    for (;;) {
        // The last slot of edit_buffer is filled, or the next read would
        // count past the last position the counter can hold.
        if (st.cursor > buffer_limit || st.addr_counter == INT64_MAX) {
            std::fprintf(out, "Read %" PRId64 " to %" PRId64 " bytes, use 'startbyte' option to chg starting byte. \n",
                         st.startbyte, wrap_add(st.addr_counter, int64_t{-1}));
            result.end = load_end::limit;
            return result;
        }
        // Whole runs of bytes that the byte-by-byte rule would all pass over,
        // or all store, are taken in one go with the same counts.
        int64_t left = most >= 0 ? most - result.taken : INT64_MAX;
        int64_t done = 0;
        if (left > 0 && mode == load_mode::startup && st.addr_counter < st.startbyte - 1) {
            done = file.skip(std::min(left, st.startbyte - 1 - st.addr_counter));
        } else if (left > 0) {
            int64_t counts_left = st.addr_counter < 0 ? INT64_MAX : INT64_MAX - st.addr_counter;
            int64_t room = std::min<int64_t>(int64_t{buffer_limit} + 1 - st.cursor, counts_left);
            auto at = static_cast<size_t>(st.cursor);
            bool hole = false;
            done = file.next_run(std::min(left, room), hole);
            if (hole)
                st.edit_buffer.zero(at, static_cast<size_t>(done)); // not read
            else
                done = file.take(&st.edit_buffer[at], done);
            st.cursor += static_cast<int32_t>(done);
        }
        if (done > 0) {
            // Never past startbyte - 1 or the largest position, however far
            // below 0 the count began.
            st.addr_counter += done;
            result.taken += done;
            continue;
        }
        // The read that meets the end of the file, or the one past `most`:
        // counted, and stored only by the start-up load, as the byte 0xff.
        st.addr_counter = wrap_add(st.addr_counter, int64_t{1});
        if (mode == load_mode::startup && st.addr_counter >= st.startbyte)
            st.edit_buffer[static_cast<size_t>(st.cursor++)] = 0xff;
        result.end = file.failed ? load_end::read_error : load_end::done;
        return result;
    }
}

namespace {

void take_arguments(editor_state& st, int argc, char** argv, line_input& in, FILE* out)
{
    if (argc >= 2) {
        st.file_name = argv[1];
    } else {
        std::fprintf(out, "\nEnter Filename to VOXA....\n");
        if (read_line(in, "", st.file_name, name_max + 1, line_kind::file_name) != line_read::line)
            st.file_name.clear();
    }
    st.startbyte = argc == 3 ? startbyte_number(argv[2]) : 0;
}

// Huge pages pay for themselves from about a megabyte of data on.
constexpr int64_t large_load = int64_t{1} << 20;

} // namespace

bool start_up(editor_state& st, int argc, char** argv, line_input& in, FILE* out)
{
    take_arguments(st, argc, argv, in, out);
    sys::handle fd = sys::open_to_read(st.file_name, true); // a named pipe waits for its writer, as cat's does
    sys::file_info info;
    if (fd == sys::no_handle || !sys::info_of(fd, info) || info.kind == sys::file_kind::folder) {
        if (fd != sys::no_handle)
            sys::close_file(fd);
        std::fprintf(out, "Can't Open file %s.\n", st.file_name.c_str());
        return false;
    }
    int64_t skipped = st.startbyte > 1 ? std::min<int64_t>(st.startbyte - 1, info.size) : 0;
    if (info.kind == sys::file_kind::regular && info.size - skipped >= large_load) {
        st.edit_buffer.prefer_huge_pages();
        sys::read_ahead(fd); // a file not cached comes faster
    }
    std::fprintf(out, "Please Wait... Loading %s into memory \n", st.file_name.c_str());
    st.cursor = 0;
    st.addr_counter = 0;
    load_result loaded = load_loop(st, fd, out, load_mode::startup);
    sys::close_file(fd);
    if (loaded.end == load_end::read_error) {
        std::fprintf(out, "ERROR: read error in file %s, nothing loaded...\n", st.file_name.c_str());
        return false;
    }
    std::fprintf(out, " %ld Bytes Loaded into memory. \n", long{st.cursor} - 1);
    std::fprintf(out, " Note! Use '?' for command HELP. \n");
    st.data_count = st.cursor - 1;
    st.cursor = 0;
    st.addr_counter = st.startbyte;
    st.window.whole_file = st.startbyte <= 1 && loaded.end == load_end::done;
    st.window.start = skipped;
    st.window.length = std::max(0, st.data_count);
    remember_loaded_file(st, info, out);
    return true;
}
