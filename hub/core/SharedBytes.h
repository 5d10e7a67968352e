#pragma once

#include <memory>
#include <string>

// Bytes that go to many clients: written to each socket from the one buffer, and kept, not
// copied, by a client whose socket has not taken them all yet.
using SharedBytes = std::shared_ptr<const std::string>;

inline SharedBytes ShareBytes(std::string bytes) {
    return std::make_shared<const std::string>(std::move(bytes));
}
