#include "access/TempSysDir.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace {
constexpr const char* kVariable = "MATRIXPANEL_SYSDIR";
}

TempSysDir::TempSysDir() {
    const std::string base = std::filesystem::temp_directory_path().string() + "/mp-access-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_strPath = name.data();
    if (const char* old = std::getenv(kVariable)) {
        m_bHadOldValue = true;
        m_strOldValue = old;
    }
    ::setenv(kVariable, m_strPath.c_str(), 1);
}

TempSysDir::~TempSysDir() {
    if (m_bHadOldValue) {
        ::setenv(kVariable, m_strOldValue.c_str(), 1);
    } else {
        ::unsetenv(kVariable);
    }
    std::error_code ignored;
    std::filesystem::permissions(m_strPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_strPath, ignored);
}

std::string TempSysDir::File(std::string_view name) const {
    return m_strPath + "/" + std::string(name);
}

void TempSysDir::MakeUnwritable() {
    const std::string blocker = File("not-a-directory");
    WriteFile(blocker, "x");
    ::setenv(kVariable, (blocker + "/sys").c_str(), 1);
}

void TempSysDir::WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool TempSysDir::ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}
