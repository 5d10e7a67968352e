#pragma once

// matrixctl as a child process. The including test target defines MATRIXCTL_PATH.
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

using CtlOutcome = ChildOutcome;

class CtlProcess : public ChildProcess {
  public:
    explicit CtlProcess(std::vector<std::string> args)
        : ChildProcess(WithProgram(std::move(args))) {}

  private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args) {
        args.insert(args.begin(), MATRIXCTL_PATH);
        return args;
    }
};

inline CtlOutcome RunCtl(std::vector<std::string> args) {
    return CtlProcess(std::move(args)).Finish();
}
