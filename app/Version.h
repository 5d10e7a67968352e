#pragma once

// The program's one version, shown by --version and by the About box; the build sets it from
// the project's version.
inline constexpr const char* kProgramVersion = MATRIXPANEL_VERSION;
