// The emulator's message queues: naming, limits and buffers. Messages crossing
// task processes, and a reader that starts after the writer left, are the
// refresh suite's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "emu/emulator.h"
#include "support/test_support.h"

namespace {

// The add-in's receive buffer for refresh messages.
constexpr uint16_t kReceive = 256;

// The data directory's teardown removes every queue.
class MqTest : public tarntest::DataDirTest {
protected:
    MQHANDLE Open(const char* name) {
        MQHANDLE q = 0;
        EXPECT_EQ(MQOpen(name, MQ_OPEN_CREATE, &q), 0) << name;
        return q;
    }
};

std::string Take(MQHANDLE q, STATUS* status = nullptr) {
    char buffer[kReceive];
    uint16_t length = 0xBEEF;
    STATUS s = MQGet(q, buffer, kReceive, 0, 1, &length);
    if (status) *status = s;
    return s == 0 ? std::string(buffer, length) : std::string();
}

TEST_F(MqTest, OpenCreatesOnlyWhenAskedAndHandlesShareTheQueue) {
    MQHANDLE q = 1234;
    EXPECT_EQ(MQOpen("TARNnserver.exe", 0, &q), emu::err::MQ_NOEXIST);
    EXPECT_EQ(q, 0u);
    EXPECT_TRUE(emu::QueueNames().empty());

    MQHANDLE created = Open("TARNnserver.exe");
    ASSERT_NE(created, 0u);
    MQHANDLE opened = 0;
    ASSERT_EQ(MQOpen("TARNnserver.exe", 0, &opened), 0);
    EXPECT_NE(opened, created);
    // Names are exact: another case is another queue.
    EXPECT_EQ(MQOpen("TARNNSERVER.EXE", 0, &q), emu::err::MQ_NOEXIST);

    // Two handles, one queue.
    ASSERT_EQ(MQPut(created, 1, const_cast<char*>("x"), 2, 0), 0);
    EXPECT_EQ(MQGetCount(opened), 1);
    EXPECT_EQ(Take(opened), std::string("x\0", 2));
    EXPECT_EQ(MQGetCount(created), 0);
    EXPECT_EQ(emu::QueueNames(), std::vector<std::string>{"TARNnserver.exe"});

    // Empty: the code, and no length.
    char buffer[8];
    uint16_t length = 77;
    EXPECT_EQ(MQGet(opened, buffer, sizeof buffer, 0, 1, &length), emu::err::MQ_EMPTY);
    EXPECT_EQ(length, 0);
}

TEST_F(MqTest, MessageLargerThanTheBufferIsTruncatedTakenOffAndReported) {
    MQHANDLE q = Open("TARNnserver.exe");
    const std::string big(300, 'b');
    const std::string exact(kReceive, 'e');
    ASSERT_EQ(MQPut(q, 1, const_cast<char*>(big.data()), static_cast<uint16_t>(big.size()), 0), 0);
    ASSERT_EQ(MQPut(q, 1, const_cast<char*>(exact.data()), static_cast<uint16_t>(exact.size()), 0), 0);
    ASSERT_EQ(MQPut(q, 1, const_cast<char*>("x"), 2, 0), 0);
    ASSERT_EQ(MQGetCount(q), 3);

    char buffer[kReceive + 1];
    std::memset(buffer, '#', sizeof buffer);
    uint16_t length = 99;
    EXPECT_EQ(MQGet(q, buffer, kReceive, 0, 1, &length), emu::err::MQ_BFR_TOO_SMALL);
    EXPECT_EQ(length, kReceive);
    EXPECT_EQ(std::string(buffer, kReceive), std::string(kReceive, 'b')) << "the head, cut to the buffer";
    EXPECT_EQ(buffer[kReceive], '#') << "nothing written past the buffer";
    EXPECT_EQ(MQGetCount(q), 2);

    STATUS s = 1;
    EXPECT_EQ(Take(q, &s), exact);  // a message exactly the buffer's size fits
    EXPECT_EQ(s, 0);
    // The add-in's refresh message: two bytes, nothing written past them.
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(MQGet(q, buffer, kReceive, 0, 1, &length), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(std::string(buffer, 3), std::string("x\0#", 3)) << "nothing written past the message";
    EXPECT_EQ(MQGetCount(q), 0);

    // No buffer at all is refused before a message is taken.
    ASSERT_EQ(MQPut(q, 1, const_cast<char*>("x"), 2, 0), 0);
    EXPECT_EQ(MQGet(q, nullptr, 16, 0, 1, &length), emu::err::MQ_BFR_TOO_SMALL);
    EXPECT_EQ(MQPut(q, 1, nullptr, 4, 0), emu::err::MQ_BFR_TOO_SMALL);
    EXPECT_EQ(MQGetCount(q), 1);
}

TEST_F(MqTest, FullQueueRefusesWithoutBlocking) {
    MQHANDLE q = Open("TARNnrouter.exe");
    int accepted = 0;
    STATUS last = 0;
    // A put that blocked on the full queue would hang this single thread.
    for (int i = 0; i < 200 && last == 0; ++i) {
        std::string m = std::to_string(i);
        last = MQPut(q, 1, const_cast<char*>(m.c_str()), static_cast<uint16_t>(m.size() + 1), 0);
        if (last == 0) ++accepted;
    }
    EXPECT_EQ(last, emu::err::MQ_QUOTA);
    EXPECT_EQ(accepted, 64);
    EXPECT_EQ(MQGetCount(q), 64);

    // Room again after one is taken; order is kept.
    STATUS s = 1;
    EXPECT_EQ(Take(q, &s), std::string("0\0", 2));
    EXPECT_EQ(MQPut(q, 1, const_cast<char*>("late"), 5, 0), 0);
    EXPECT_EQ(MQGetCount(q), 64);

    // The queue outlives a closed handle; the handle is refused from then on.
    EXPECT_EQ(MQClose(q, 0), 0);
    EXPECT_EQ(MQPut(q, 1, const_cast<char*>("x"), 2, 0), emu::err::MQ_EMPTY);
    EXPECT_EQ(MQClose(q, 0), emu::err::MQ_EMPTY);
    MQHANDLE again = 0;
    ASSERT_EQ(MQOpen("TARNnrouter.exe", 0, &again), 0);
    EXPECT_EQ(MQGetCount(again), 64);
}

TEST_F(MqTest, NamesAndHandles) {
    MQHANDLE q = 55;
    EXPECT_EQ(MQOpen("", MQ_OPEN_CREATE, &q), emu::err::MQ_NAME);
    EXPECT_EQ(q, 0u);
    EXPECT_EQ(MQOpen(std::string(65, 'n').c_str(), MQ_OPEN_CREATE, &q), emu::err::NAME_LENGTH);

    // Any bytes are usable and distinct: the encoding must not merge names.
    const std::vector<std::string> names = {
        std::string(64, 'n'), "TARN", "TARN nserver.exe", "TARN_nserver.exe", "TARN/nserver.exe",
        "TARN_20nserver.exe", "TARN\xC3\xA9t\xC3\xA9.exe", "..", "-"};
    std::vector<MQHANDLE> handles;
    for (const auto& n : names) handles.push_back(Open(n.c_str()));
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(MQPut(handles[i], 1, const_cast<char*>(names[i].data()), static_cast<uint16_t>(names[i].size()), 0), 0);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(MQGetCount(handles[i]), 1) << names[i];
        EXPECT_EQ(Take(handles[i]), names[i]);
    }
    auto sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(emu::QueueNames(), sorted);

    // Unknown handles, and handles of removed queues, are refused (a put to
    // a bad handle answers ERR_MQ_EMPTY, as the C API documents).
    char buffer[8];
    uint16_t length = 0;
    EXPECT_EQ(MQPut(0xDEAD0000, 1, const_cast<char*>("x"), 2, 0), emu::err::MQ_EMPTY);
    EXPECT_EQ(MQGet(0xDEAD0000, buffer, sizeof buffer, 0, 1, &length), emu::err::INVALID_HANDLE);
    EXPECT_EQ(MQGetCount(0xDEAD0000), 0);
    emu::RemoveAllQueues();
    EXPECT_TRUE(emu::QueueNames().empty());
    EXPECT_EQ(MQPut(handles[1], 1, const_cast<char*>("x"), 2, 0), emu::err::MQ_EMPTY);
    EXPECT_EQ(MQOpen("TARN", 0, &q), emu::err::MQ_NOEXIST);
}

}  // namespace
