// Speed of the editor on a full buffer of 5,000,000 bytes: the start-up
// load, a 3-byte search, a replace, a write with backup, and a whole
// scripted session (load, s, r, w, y, q) run as its own process, next to
// two plain copies of the file. The session also reports its peak memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commands.hpp"

namespace fs = std::filesystem;

namespace {

// A scratch folder holding data.bin: 5,000,000 bytes of every value, with
// the sequence 41 42 43 at every 997th offset.
struct bench_files {
    fs::path folder;
    fs::path data;

    bench_files()
    {
        std::string pattern = (fs::temp_directory_path() / "voxa-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        folder = pattern;
        data = folder / "data.bin";
        std::string bytes(buffer_limit, '\0');
        std::mt19937 random(7);
        for (auto& b : bytes)
            b = static_cast<char>(random());
        for (size_t at = 0; at + 3 < bytes.size(); at += 997)
            bytes.replace(at, 3, "ABC");
        std::ofstream(data, std::ios::binary) << bytes;
    }
    ~bench_files() { fs::remove_all(folder); }
};

bench_files& files()
{
    static bench_files f;
    return f;
}

FILE* null_output()
{
    static FILE* out = std::fopen("/dev/null", "w");
    return out;
}

std::unique_ptr<editor_state> loaded()
{
    auto st = std::make_unique<editor_state>();
    std::string name = files().data.string();
    char program[] = "voxa";
    char* argv[] = {program, name.data(), nullptr};
    static line_input no_input;
    give_input(no_input, "", 0);
    if (!start_up(*st, 2, argv, no_input, null_output()))
        std::abort();
    return st;
}

void BM_StartupLoad(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(loaded());
    state.SetBytesProcessed(state.iterations() * buffer_limit);
}
BENCHMARK(BM_StartupLoad)->Unit(benchmark::kMillisecond);

void BM_Search3Bytes(benchmark::State& state)
{
    auto st = loaded();
    for (auto _ : state)
        interpret(*st, "s 0 7fffffff 41 42 43", null_output());
    state.SetBytesProcessed(state.iterations() * buffer_limit);
}
BENCHMARK(BM_Search3Bytes)->Unit(benchmark::kMillisecond);

void BM_Replace3BytesTwice(benchmark::State& state)
{
    auto st = loaded();
    for (auto _ : state) { // two passes: the sequence turned and turned back
        interpret(*st, "r 0 7fffffff 41 42 43 n 43 42 41", null_output());
        interpret(*st, "r 0 7fffffff 43 42 41 n 41 42 43", null_output());
    }
    state.SetBytesProcessed(state.iterations() * 2 * buffer_limit);
}
BENCHMARK(BM_Replace3BytesTwice)->Unit(benchmark::kMillisecond);

void BM_WriteWithBackup(benchmark::State& state)
{
    auto st = loaded();
    for (auto _ : state) {
        static line_input answer;
        give_input(answer, "y\n", 2);
        write_file(*st, answer, null_output());
    }
    state.SetBytesProcessed(state.iterations() * 2 * buffer_limit);
}
BENCHMARK(BM_WriteWithBackup)->Unit(benchmark::kMillisecond);

// Runs a program with the script on its standard input and the output
// thrown away; returns its peak resident memory in kilobytes.
long run_program(const std::string& program, const std::vector<std::string>& args, const std::string& script)
{
    fs::path input = files().folder / "script.txt";
    std::ofstream(input) << script;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::abort();
    return usage.ru_maxrss;
}

void BM_WholeSession(benchmark::State& state)
{
    long peak = 0;
    for (auto _ : state)
        peak = std::max(peak, run_program(VOXA_PROGRAM, {files().data.string()},
                                          "s 0 7fffffff 41 42 43\nr 0 7fffffff 41 42 43 n 43 42 41\nw\ny\nq\n"));
    state.counters["peak_kB"] = static_cast<double>(peak);
}
BENCHMARK(BM_WholeSession)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TwoPlainCopies(benchmark::State& state)
{
    std::string from = files().data.string();
    std::string to = (files().folder / "copy.bin").string();
    for (auto _ : state) {
        run_program("/bin/cp", {from, to}, "");
        run_program("/bin/cp", {from, to}, "");
    }
}
BENCHMARK(BM_TwoPlainCopies)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
