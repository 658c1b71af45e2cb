// A fresh, empty directory that stands for the program directory while a test runs, so
// that settings and language files a test writes never meet another test's.
#pragma once
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/process.h"

class ScratchProgramDir {
public:
    ScratchProgramDir() {
        static int counter = 0;
        dir_ = std::filesystem::temp_directory_path() /
               ("kel_progdir_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        kel::platform::set_program_dir_for_tests(dir_.string());
    }
    ~ScratchProgramDir() {
        kel::platform::set_program_dir_for_tests("");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchProgramDir(const ScratchProgramDir&) = delete;
    ScratchProgramDir& operator=(const ScratchProgramDir&) = delete;
    std::string path() const { return dir_.string(); }

private:
    std::filesystem::path dir_;
};
