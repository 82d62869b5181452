// Runs a fuzz target on the inputs it kept, without the fuzzer: each file
// named, or each file in a folder named, goes once through the target's
// entry point, in the order given (a folder's files sorted by name). The
// target's checks abort on a broken promise; the name of the input that
// broke it is the last one printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code failed;
        if (!fs::is_directory(argv[i], failed)) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        std::vector<fs::path> in_folder;
        for (const auto& entry : fs::directory_iterator(argv[i]))
            if (entry.is_regular_file())
                in_folder.push_back(entry.path());
        std::sort(in_folder.begin(), in_folder.end());
        inputs.insert(inputs.end(), in_folder.begin(), in_folder.end());
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s INPUT-OR-FOLDER...\n", argv[0]);
        return 1;
    }
    // The target may take its own arguments from the command line, as
    // under the fuzzer; it gets only the program's name here.
    char* own[] = {argv[0], nullptr};
    int own_count = 1;
    char** own_args = own;
    LLVMFuzzerInitialize(&own_count, &own_args);

    for (const auto& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "%s: %zu bytes\n", input.c_str(), bytes.size());
        // A block of the input's exact size, as the fuzzer gives it, so that
        // the sanitizers see a read past its end.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
    return 0;
}
