// Replays saved inputs through a fuzz target without libFuzzer: every file
// named on the command line, and every file in every folder named there
// (sorted, files starting with "." skipped).  Built with any compiler, so the
// corpus and the saved crashes run as ordinary tests on the PC and under
// qemu-mipsel.  Exits non-zero when no input was found.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace
{

void Collect(const fs::path& path, std::vector<fs::path>& inputs)
{
    if (fs::is_directory(path)) {
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && !name.empty() && name[0] != '.') {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(path)) {
        inputs.push_back(path);
    } else {
        std::fprintf(stderr, "no such file or folder: %s\n", path.string().c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        Collect(argv[i], inputs);
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
        SetCurrentInputName(input.string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
