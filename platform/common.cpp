// The system layer's parts that are the same on every system.
#include "platform.hpp"

#include <exception>
#include <random>

namespace sys {

bool same_file(const file_id& a, const file_id& b)
{
    return a.device == b.device && a.index == b.index && (a.birth == 0 || b.birth == 0 || a.birth == b.birth);
}

bool unchanged(const file_info& now, const file_info& then)
{
    return same_file(now.id, then.id) && now.size == then.size && now.modified == then.modified &&
           now.changed == then.changed;
}

namespace {

// Where the system gives no random number (no /dev/urandom in a chroot, a
// read of it that fails, no file handle left), the clock seeds alone: names
// are made by exclusive creation, so one already taken costs another draw,
// never a file.
uint64_t seed()
{
    uint64_t clock = static_cast<uint64_t>(now_ms()) << 20;
    try {
        return std::random_device{}() ^ clock;
    } catch (const std::exception&) {
        return clock;
    }
}

} // namespace

std::string random_tail()
{
    static std::mt19937_64 draw{seed()};
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string tail;
    for (int i = 0; i < 6; ++i)
        tail += letters[draw() % (sizeof letters - 1)];
    return tail;
}

} // namespace sys
