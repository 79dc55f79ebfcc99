#include "message/message.hpp"

#include <cstring>

namespace vellicor {

std::string make_message(std::string_view result) {
    std::string outMsg = R"({"cardno":")";
    outMsg.append(result);
    outMsg.append("\"}");
    return outMsg;
}

std::string frame_message(std::string_view outMsg) {
    const auto outLen = static_cast<std::uint32_t>(outMsg.size());
    std::string frame(sizeof outLen, '\0');
    std::memcpy(frame.data(), &outLen, sizeof outLen);
    frame.append(outMsg);
    return frame;
}

void write_result_message(std::FILE* out, std::string_view result) {
    const std::string frame = frame_message(make_message(result));
    std::fwrite(frame.data(), 1, frame.size(), out);
    std::fflush(out);
}

}  // namespace vellicor
