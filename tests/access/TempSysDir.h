#pragma once

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "support/LinkTestSupport.h"

// A fresh system directory for one test, with the file helpers the settings tests use.
class TempSysDir : public ScopedSysDir {
  public:
    // Somewhere no file can be created, even by root: below a plain file.
    void MakeUnwritable() {
        Write(Path() + "/file", "x");
        ::setenv("MATRIXPANEL_SYSDIR", (Path() + "/file/sys").c_str(), 1);
    }

    static void Write(const std::string& path, std::string_view bytes) {
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    }
    // The file's bytes, or "<none>" when it cannot be read.
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<none>";
    }
};
