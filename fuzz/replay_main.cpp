// Runs the fuzz property over saved inputs without libFuzzer, so ordinary
// builds (and CTest) check the corpus. Arguments are files or directories
// (searched recursively); a violation aborts inside the property itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path root(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(root, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            if (ec) {
                std::fprintf(stderr, "cannot list %s: %s\n", root.c_str(), ec.message().c_str());
                ok = false;
            }
            for (const auto& file : files) {
                ok = replay_file(file) && ok;
                ++count;
            }
        } else {
            ok = replay_file(root) && ok;
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return ok ? 0 : 1;
}
