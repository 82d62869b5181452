// Feeds arbitrary command scripts to the prompt loop, in-process, against a
// small loaded file in a scratch folder. Every command runs, the write with
// its question included; nothing may crash, read or write outside the
// buffer, or hang.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "commands.hpp"

namespace {

const char sample[] = "0123456789ABCDEF\xff\x00 edit me, search me, replace me.\x80\x7f";

void put_file(const char* name, const char* bytes, size_t size)
{
    FILE* f = std::fopen(name, "wb");
    if (f != nullptr) {
        std::fwrite(bytes, 1, size, f);
        std::fclose(f);
    }
}

// Works in a scratch folder of its own, so writes and backups stay there.
void enter_scratch()
{
    char scratch[] = "/tmp/voxa-fuzz-XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool entered = (enter_scratch(), true); // after the corpus is read
    static auto st = std::make_unique<editor_state>();
    static FILE* out = std::fopen("/dev/null", "w");
    (void)entered;
    if (size < 2 || size > 4096)
        return 0;
    put_file("a.bin", sample, sizeof sample - 1);
    put_file("f.bin", "XY", 2);
    put_file("g.bin", sample, 10);
    std::destroy_at(st.get()); // a fresh state, built in place
    std::construct_at(st.get());
    st->file_name = "a.bin";
    char name[] = "voxa";
    char file[] = "a.bin";
    char* argv[] = {name, file, nullptr};
    // The first byte picks a startbyte, so the refusals after a partial load
    // are reached too.
    char start[16];
    std::snprintf(start, sizeof start, "%d", static_cast<int>(data[0] % 4) - 1);
    char* argv3[] = {name, file, start, nullptr};
    FILE* in = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "r");
    if (in == nullptr)
        return 0;
    if (start_up(*st, data[0] & 4 ? 3 : 2, data[0] & 4 ? argv3 : argv, in, out))
        prompt_loop(*st, in, out);
    std::fclose(in);
    return 0;
}
