#pragma once

#include <string>

// The login choice the whole session is sized from. Written by the login dialog before
// anything else runs and only read afterwards; the counts cannot change during a run.
struct SessionParams {
    std::string m_strModelType;  // the matrix type chosen at login; kept, not read elsewhere
    int m_nInputs = 0;           // > 0 after a successful login, no upper bound
    int m_nOutputs = 0;          // > 0 after a successful login, no upper bound
};
