// Copies that land a file: the write of the editor and the copy tool share these.
#include "landing.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

progress::progress(FILE* to, int64_t bytes) : out(to), total(bytes), began(sys::now_ms()) {}

progress::~progress()
{
    if (shown >= 0) {
        std::fputs("\r            \r", out); // the line is left blank for what follows
        std::fflush(out);
    }
}

void progress::advance(int64_t bytes)
{
    if (out == nullptr || bytes <= 0)
        return;
    done += bytes;
    if (sys::now_ms() - began < 1000)
        return;
    int64_t hundredth = std::max<int64_t>(1, total / 100);
    int percent = static_cast<int>(std::min<int64_t>(99, done / hundredth));
    if (percent != shown) {
        std::fprintf(out, "\r%3d%% copied", percent);
        std::fflush(out);
        shown = percent;
    }
}

namespace {

unsigned char copy_room[1 << 16];
unsigned char old_room[1 << 18]; // old bytes, to compare new ones with

constexpr int64_t copy_piece = int64_t{64} << 20;  // the system's copies, a piece at a time
constexpr int64_t share_piece = int64_t{1} << 30;  // the file system's clones, a piece at a time

void advance(progress* shown, int64_t bytes)
{
    if (shown != nullptr)
        shown->advance(bytes);
}

// Copies [at, at + size) of `from` to `to` at `to_at`, by the system where
// the two files allow it, else through our own buffer.
bool copy_run(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, progress* shown)
{
    int64_t in = at, out = to_at, end = at + size;
    bool by_system = true;
    while (in < end) {
        if (!sys::carry_on())
            return false;
        int64_t n = 0;
        if (by_system) {
            n = sys::copy_in_system(from, in, to, out, std::min(end - in, copy_piece));
            if (n == -1)
                return false;
            by_system = n != -2;
            if (n == 0)
                return sys::fail(sys::failure::short_source);
        }
        if (!by_system) {
            size_t piece = static_cast<size_t>(std::min<int64_t>(end - in, sizeof copy_room));
            size_t put = 0;
            if (!sys::read_at(from, copy_room, piece, in) || !sys::write_at(to, copy_room, piece, out, put))
                return false;
            n = static_cast<int64_t>(piece);
        }
        in += n;
        out += n;
        advance(shown, n);
    }
    return true;
}

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only: a hole stays a hole.
bool copy_runs(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, progress* shown)
{
    int64_t end = at + size;
    while (at < end) {
        int64_t data = sys::data_from(from, at);
        if (data < 0 || data >= end)
            return data >= 0;
        int64_t hole = std::min(end, sys::hole_from(from, data));
        if (hole <= data)
            hole = end;
        if (!copy_run(from, data, to, to_at + (data - at), hole - data, shown))
            return false;
        to_at += hole - at;
        at = hole;
    }
    return true;
}

// Makes [at, at + size) of `from` the same blocks as [to_at, to_at + size)
// of `to`, a piece at a time: nothing is copied and no room is taken. The
// bytes shared, fewer than `size` when the file system cannot share them
// (`sharing` is false then), or -1 on a fault.
int64_t share(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, bool& sharing,
              progress* shown)
{
    int64_t done = 0;
    while (sharing && done < size) {
        if (!sys::carry_on())
            return -1;
        int64_t n = std::min(size - done, share_piece);
        if (sys::share_blocks(from, at + done, to, to_at + done, n, sharing)) {
            done += n;
            advance(shown, n);
        } else if (sharing) {
            return -1;
        }
    }
    return done;
}

// copy_bytes, sharing whole blocks that land on whole blocks while
// `sharing` says the file system can; the edges are copied. Where nothing
// can be shared, the bytes are copied in one piece, as the system copies
// them fastest.
bool copy_or_share(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, bool& sharing,
                   progress* shown)
{
    int64_t end = at + size;
    sys::file_info info;
    if (size <= 0)
        return true;
    if (!sys::info_of(from, info))
        return false;
    if (info.size < end)
        return sys::fail(sys::failure::short_source);
    int64_t block = sys::block_size(from);
    int64_t first = (at + block - 1) / block * block;
    int64_t last = end == info.size ? end : end - end % block; // a file's last block is shared whole
    int64_t shared = 0;
    if (sharing && (to_at - at) % block == 0 && first < last)
        shared = share(from, first, to, to_at + (first - at), last - first, sharing, shown);
    if (shared <= 0)
        return shared == 0 && copy_runs(from, at, to, to_at, size, shown);
    // A clone stops silently at the end of a file that shrank meanwhile.
    if (!sys::info_of(from, info))
        return false;
    if (info.size < first + shared)
        return sys::fail(sys::failure::short_source);
    int64_t rest = first + shared;
    return copy_runs(from, at, to, to_at, first - at, shown) &&
           copy_runs(from, rest, to, to_at + (rest - at), end - rest, shown);
}

const unsigned char zero_block[1 << 12] = {};

bool all_zero(const unsigned char* bytes, size_t size)
{
    for (size_t at = 0; at < size; at += sizeof zero_block)
        if (std::memcmp(bytes + at, zero_block, std::min(size - at, sizeof zero_block)) != 0)
            return false;
    return true;
}

// The file that write_over makes, in order of offsets: a run of old bytes
// or of new ones is gathered block by block, and landed when a block of the
// other kind comes.
struct overlay {
    sys::handle from, to;
    const unsigned char* bytes;
    int64_t at, end;     // where the new bytes go
    progress* shown;
    bool sharing = true; // until the file system says it cannot share
    bool old = true;     // the run gathered is of old bytes
    int64_t start = 0;   // where it starts
    size_t written = 0;  // new bytes in place, in order

    // Lands the run up to `upto`.
    bool land(int64_t upto)
    {
        int64_t run = std::exchange(start, upto);
        size_t put = 0;
        bool ok = old ? copy_or_share(from, run, to, run, upto - run, sharing, shown)
                      : sys::carry_on() && sys::write_at(to, bytes + (run - at), static_cast<size_t>(upto - run), run, put);
        int64_t in_place = ok ? upto : run + static_cast<int64_t>(put);
        written = static_cast<size_t>(std::clamp(in_place, at, end) - at);
        return ok;
    }
    // The block at `block_at` is of old bytes, or of new ones.
    bool next(int64_t block_at, bool is_old)
    {
        if (is_old == old)
            return true;
        bool ok = land(block_at);
        old = is_old;
        return ok;
    }
};

} // namespace

bool copy_bytes(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, progress* shown)
{
    bool sharing = true;
    return copy_or_share(from, at, to, to_at, size, sharing, shown);
}

bool write_over(sys::handle from, sys::handle to, int64_t length, const unsigned char* bytes, size_t size,
                int64_t at, size_t& written, progress* shown)
{
    overlay o{from, to, bytes, at, at + static_cast<int64_t>(size), shown};
    int64_t block = sys::block_size(to);
    int64_t data = -1, data_end = -1; // the old file's next run of data
    auto next_data = [&](int64_t from_at) {
        data = sys::data_from(from, from_at);
        data_end = data < 0 ? o.end : std::min(o.end, sys::hole_from(from, data));
        if (data < 0)
            data = from_at;
    };
    bool ok = true;
    for (int64_t pos = at; ok && pos < o.end;) {
        int64_t chunk_end = std::min(o.end, pos - pos % block + static_cast<int64_t>(sizeof old_room));
        if (pos >= data_end)
            next_data(pos);
        ok = data >= chunk_end || sys::read_at(from, old_room, static_cast<size_t>(chunk_end - pos), pos);
        for (int64_t piece = pos; ok && piece < chunk_end;) {
            int64_t piece_end = std::min(chunk_end, piece - piece % block + block);
            if (piece >= data_end)
                next_data(piece);
            const unsigned char* mine = bytes + (piece - at);
            size_t n = static_cast<size_t>(piece_end - piece);
            bool hole = piece_end <= data; // reads as zeros
            bool same = hole ? all_zero(mine, n) : std::memcmp(mine, old_room + (piece - pos), n) == 0;
            // Where nothing can be shared, old data costs what writing the same bytes costs.
            ok = o.next(piece, same && (hole || o.sharing));
            piece = piece_end;
        }
        pos = chunk_end;
    }
    ok = ok && o.next(o.end, true) && o.land(length);
    written = o.written;
    return ok;
}
