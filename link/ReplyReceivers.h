#pragma once

#include <functional>
#include <string_view>

// The two views a reply can go to, registered by the UI side: the terminal view's
// AppendReceived (route 1) and the switching panel's ShowReply (route 2).
struct ReplyReceivers {
    std::function<void(std::string_view)> appendReceived;
    std::function<void(std::string_view)> showReply;
};

// Hands text to the receiver the route names; any other route drops it. True when handed.
bool RouteReply(int route, std::string_view text, const ReplyReceivers& receivers);

// The text of a received chunk: its bytes up to the first zero byte.
std::string_view ChunkText(const char* buffer, std::size_t size);
