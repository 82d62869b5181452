// package: writes a copy of a file with the copy's first byte set to M.
//   package action filein fileout
// Exit status 0 on success, 1 on any failure (the message says which).
#include <algorithm>
#include <cstdio>
#include <string>

#include "landing.hpp"
#include "program.hpp"

namespace {

// The manual: a page of man where the programs are installed, the text
// beside the program where it comes in the ZIP (Windows).
#ifdef VOXA_MANUAL_BESIDE
#define MANUAL "package.txt"
#else
#define MANUAL "man package"
#endif

const char usage[] =
    "Usage: package action filein fileout\n"
    "       package --help | --version\n"
    "Writes a copy of filein to fileout with the copy's first byte set to the\n"
    "letter M. action must be given and changes nothing. The copy is written\n"
    "beside fileout, flushed to the disk and renamed over it: a failure, or a\n"
    "power cut, leaves the old fileout whole.\n"
    "Exit status 0 when the copy was written whole, 1 otherwise. Manual: " MANUAL "\n";

int fail(const char* format, const char* name)
{
    std::printf(format, name);
    std::fflush(stdout);
    return 1;
}

// The hint follows the message, which leaves its line open.
const char option_hint[] = "\nTry 'package --help'.\n";

// The length of filein, taken once before the copy; -1 when it cannot be
// opened. A folder has no bytes to copy, and a pipe no length: opening one
// does not wait for a writer.
int64_t input_length(const char* name, sys::file_info& info)
{
    sys::handle fd = sys::open_to_read(name);
    if (fd == sys::no_handle)
        return -1;
    bool ok = sys::info_of(fd, info) && info.kind != sys::file_kind::folder && info.kind != sys::file_kind::pipe;
    sys::close_file(fd);
    return ok ? info.size : -1;
}

// Says that the output cannot be written, and why.
int cannot_write(const char* out_name)
{
    std::printf("Can't write file %s (%s).", out_name, sys::failure_text().c_str());
    std::fflush(stdout);
    return 1;
}

// The copy's first byte is M, the rest the input's; `length` bytes in all,
// flushed to the disk. A fault is reported, and its status returned; 0
// when whole.
int copy_marked(sys::handle in, sys::handle out, int64_t length, const char* in_name, const char* out_name)
{
    unsigned char first = 'M';
    size_t put = 0;
    if (length > 0 && !sys::read_at(in, &first, 1, 0))
        return fail("Could not read file %s", in_name);
    first = 'M';
    bool whole = sys::within_size_limit(length) &&
                 (length == 0 || (sys::write_at(out, &first, 1, 0, put) && copy_bytes(in, 1, out, 1, length - 1, nullptr))) &&
                 sys::set_size(out, length) && sys::flush(out);
    if (whole)
        return 0;
    return sys::failed_with(sys::failure::short_source) ? fail("Could not read file %s", in_name) : cannot_write(out_name);
}

// The output's permission bits: those it has, or for a new one the input's
// less the umask, as a plain copy does (an executable stays executable).
uint32_t output_bits(const char* out_name, const sys::file_info& in)
{
    sys::file_info out;
    return sys::info_of_name(out_name, out) ? out.mode : sys::less_umask(in.mode & 0777);
}

} // namespace

// The whole program, callable in-process: the fuzz target runs it so.
int package_main(int argc, char** argv)
{
    program_start started = start_program(argc, argv, "package", usage);
    if (started.status >= 0)
        return started.status;
    argc = static_cast<int>(started.words.size());
    argv = started.argv.data();
    if (argc < 4) {
        std::fputs("Usage: package action filein fileout ", stdout);
        std::fflush(stdout);
        if (std::any_of(argv + 1, argv + argc, looks_like_option))
            std::fputs(option_hint, stderr);
        return 1;
    }
    const char* in_name = argv[2];
    const char* out_name = argv[3];
    sys::file_info info, there;
    int64_t length = input_length(in_name, info);
    if (length < 0) {
        fail("Could not open file %s", in_name);
        if (looks_like_option(in_name))
            std::fputs(option_hint, stderr);
        return 1;
    }
    if (sys::info_of_name(out_name, there) && sys::same_file(there.id, info.id))
        return fail("Can't copy %s onto itself.", in_name);
    // The copy is written beside the output and renamed over it: the
    // previous output stays whole until the copy is, on the disk too. Only a
    // plain file is replaced (never a device or a pipe), through a symbolic
    // link; every step is taken in the output's folder, opened once.
    if (sys::info_of_name(out_name, there) && there.kind != sys::file_kind::regular)
        return fail("Can't write file %s (not a regular file).", out_name);
    sys::handle in = sys::open_to_read(in_name);
    if (in == sys::no_handle)
        return fail("Can't open file %s.", in_name);
    std::string target = sys::real_path(out_name), temp;
    sys::folder place;
    sys::handle out = sys::open_folder(sys::folder_of(target), place) ? sys::new_temporary(place, temp) : sys::no_handle;
    if (out == sys::no_handle || !sys::set_bits(out, output_bits(out_name, info))) {
        sys::close_file(in);
        if (out != sys::no_handle) {
            sys::close_file(out);
            sys::remove_in(place, temp);
        }
        sys::close_folder(place);
        return fail("Can't open file %s.", out_name);
    }
    std::printf("\nPlease wait... creating %s", "voxa.exe");
    int status = copy_marked(in, out, length, in_name, out_name);
    sys::close_file(in);
    if (!sys::close_file(out) && status == 0)
        status = cannot_write(out_name);
    if (status == 0 && !sys::rename_in(place, temp, place, sys::leaf_of(target), sys::rename_how::replace))
        status = cannot_write(out_name);
    else if (status == 0 && (temp.clear(), !sys::flush_folder(place)))
        status = cannot_write(out_name); // the copy is in place, but a power cut could take it back
    if (status != 0 && !temp.empty() && !sys::remove_in(place, temp))
        std::printf(" Can't remove %s (%s).", temp.c_str(), sys::failure_text().c_str());
    sys::close_folder(place);
    return std::fflush(stdout) == 0 ? status : 1;
}

#ifndef PACKAGE_NO_MAIN
int main(int argc, char** argv)
{
    return package_main(argc, argv);
}
#endif
