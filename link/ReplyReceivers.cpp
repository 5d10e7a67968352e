#include "link/ReplyReceivers.h"

#include <cstring>

#include "link/LinkTypes.h"

bool RouteReply(int route, std::string_view text, const ReplyReceivers& receivers) {
    const std::function<void(std::string_view)>* receiver = nullptr;
    if (route == kRouteTerminal) {
        receiver = &receivers.appendReceived;
    } else if (route == kRoutePanel) {
        receiver = &receivers.showReply;
    }
    if (receiver == nullptr || !*receiver) {
        return false;
    }
    (*receiver)(text);
    return true;
}

std::string_view ChunkText(const char* buffer, std::size_t size) {
    const void* zero = std::memchr(buffer, '\0', size);
    return {buffer, zero != nullptr
                        ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer)
                        : size};
}
