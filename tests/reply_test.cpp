#include "pipe/endpoint.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> WireBytes(const Reply &reply) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(reply.text);
    return std::vector<unsigned char>(bytes, bytes + reply.bytes);
}

// UTF-16LE of an ASCII word, with its terminating NUL.
std::vector<unsigned char> Utf16WithNul(const char *word) {
    std::vector<unsigned char> bytes;
    for (const char *c = word; *c != 0; ++c) {
        bytes.push_back(static_cast<unsigned char>(*c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

TEST(ReplyForMode, StartIsTwelveBytesOnTheWire) {
    std::vector<unsigned char> expected = {0x53, 0, 0x74, 0, 0x61, 0, 0x72, 0, 0x74, 0, 0, 0};
    Reply reply = ReplyForMode(ReplyStart);
    ASSERT_NE(reply.text, nullptr);
    EXPECT_EQ(reply.bytes, 12u);
    EXPECT_EQ(WireBytes(reply), expected);
}

TEST(ReplyForMode, StopAndContinueCarryTheirWordAndTheNul) {
    Reply stop = ReplyForMode(ReplyStop);
    Reply resume = ReplyForMode(ReplyContinue);
    ASSERT_NE(stop.text, nullptr);
    ASSERT_NE(resume.text, nullptr);
    EXPECT_EQ(stop.bytes, 24u);
    EXPECT_EQ(resume.bytes, 32u);
    EXPECT_EQ(WireBytes(stop), Utf16WithNul("CorvaneStop"));
    EXPECT_EQ(WireBytes(resume), Utf16WithNul("CorvaneContinue"));
}

TEST(ReplyForMode, NoReplyOutsideOneToThree) {
    for (ReplyMode mode : {ReplyNone, -1, 4, 5, INT32_MIN, INT32_MAX}) {
        Reply reply = ReplyForMode(mode);
        EXPECT_EQ(reply.text, nullptr) << "mode " << mode;
        EXPECT_EQ(reply.bytes, 0u) << "mode " << mode;
    }
}

TEST(Endpoint, PipeParameters) {
    const WCHAR expected[] = WIDE("\\\\.\\pipe\\SamplePipe");
    EXPECT_EQ(std::memcmp(PipeName, expected, sizeof expected), 0);
    EXPECT_EQ(PipeOpenMode, 3u);
    EXPECT_EQ(PipeMode, 6u);
    EXPECT_EQ(PipeMaxInstances, 255u);
    EXPECT_EQ(RequestPieceSize, 2048u);
}

} // namespace
