#pragma once

#include <functional>
#include <memory>
#include <string>

#include "hub/core/CHub.h"
#include "hub/web/ApiJson.h"

class CFileWriter;

// salvos.json beside the labels file: read into the hub at start, written after each change.
// The operator's file is never lost: one that is no salvos file is set aside (renamed) rather
// than overwritten; one holding salvos that are not served (beyond the number kept, or not
// salvos) is first kept as found under a second name; and one that can be neither read nor
// set aside is left alone, the salvos served but not written while it is there.
class CSalvosFile {
  public:
    using LogLine = std::function<void(const std::string& line)>;

    // `writeFailed` is called from the writer's thread.
    CSalvosFile(std::string path, LogLine log, std::function<void()> writeFailed);
    ~CSalvosFile();

    const std::string& Path() const { return m_strPath; }
    void Load(CHub& hub);
    void Changed(const SalvoBook& salvos);

  private:
    void Serve(CHub& hub, ApiJson::SalvosFileRead read);
    void SetAside(const std::string& why);
    void LeaveAlone(const std::string& what);
    // Whether a change may be written now: the file as found is kept first where it must be.
    bool MayWrite();

    enum class Mode { Write, KeepFirst, LeaveAlone };

    const std::string m_strPath;
    LogLine m_log;
    std::unique_ptr<CFileWriter> m_pWriter;
    Mode m_mode = Mode::Write;
};
