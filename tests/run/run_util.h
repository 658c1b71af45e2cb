// What the tests that run the real tarnhost share: reading a whole file, and a fresh
// temporary directory holding the program and both libraries.
#pragma once
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace kel_run {

inline std::string read_all(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A new directory under the temporary directory, named `prefix` and a random number,
// with tarnhost, libkelrun32.so and libkelplatform.so copied in. The caller removes it.
inline std::filesystem::path stage_binaries(const std::string& prefix) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / (prefix + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    for (const char* f : {"tarnhost", "libkelrun32.so", "libkelplatform.so"})
        fs::copy_file(fs::path(KEL_BIN_DIR) / f, dir / f, fs::copy_options::overwrite_existing);
    return dir;
}

}  // namespace kel_run
