#pragma once

#include <string>
#include <string_view>

// A fresh system directory for one test: MATRIXPANEL_SYSDIR points at it while the object
// lives, and it is removed with everything in it afterwards.
class TempSysDir {
  public:
    TempSysDir();
    ~TempSysDir();
    TempSysDir(const TempSysDir&) = delete;
    TempSysDir& operator=(const TempSysDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(std::string_view name) const;

    // Points MATRIXPANEL_SYSDIR somewhere no file can be created, even by root: below a
    // plain file.
    void MakeUnwritable();

    static void WriteFile(const std::string& path, std::string_view bytes);
    static bool ReadFile(const std::string& path, std::string& bytes);

  private:
    std::string m_strPath;
    std::string m_strOldValue;
    bool m_bHadOldValue = false;
};
