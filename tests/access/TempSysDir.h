#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

// A fresh system directory for one test: MATRIXPANEL_SYSDIR points at it while the object
// lives; it is removed with its content afterwards.
class TempSysDir {
  public:
    TempSysDir() {
        std::string name = std::filesystem::temp_directory_path().string() + "/mp-access-XXXXXX";
        m_strPath = ::mkdtemp(name.data()) != nullptr ? name : std::string();
        ::setenv("MATRIXPANEL_SYSDIR", m_strPath.c_str(), 1);
    }
    ~TempSysDir() {
        ::unsetenv("MATRIXPANEL_SYSDIR");
        std::error_code ignored;
        std::filesystem::remove_all(m_strPath, ignored);
    }
    TempSysDir(const TempSysDir&) = delete;
    TempSysDir& operator=(const TempSysDir&) = delete;

    const std::string& Path() const { return m_strPath; }

    // Somewhere no file can be created, even by root: below a plain file.
    void MakeUnwritable() {
        Write(m_strPath + "/file", "x");
        ::setenv("MATRIXPANEL_SYSDIR", (m_strPath + "/file/sys").c_str(), 1);
    }

    static void Write(const std::string& path, std::string_view bytes) {
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    }
    // The file's bytes, or "<none>" when it cannot be read.
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<none>";
    }

  private:
    std::string m_strPath;
};
