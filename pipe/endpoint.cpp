#include "pipe/endpoint.h"

namespace {

template <std::size_t Units> constexpr Reply MakeReply(const WCHAR (&text)[Units]) {
    return Reply{text, static_cast<DWORD>(Units * sizeof(WCHAR))};
}

constexpr WCHAR StartText[] = WIDE("Start");
constexpr WCHAR StopText[] = WIDE("CorvaneStop");
constexpr WCHAR ContinueText[] = WIDE("CorvaneContinue");

} // namespace

Reply ReplyForMode(ReplyMode mode) {
    switch (mode) {
    case ReplyStart:
        return MakeReply(StartText);
    case ReplyStop:
        return MakeReply(StopText);
    case ReplyContinue:
        return MakeReply(ContinueText);
    default:
        return Reply{nullptr, 0};
    }
}
