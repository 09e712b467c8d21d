#include "read_ahead.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

namespace probes {
namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(ends), 0); }
    ~Pipe() {
        closeWriter();
        ::close(ends[0]);
    }
    void closeWriter() {
        if (ends[1] >= 0) {
            ::close(ends[1]);
            ends[1] = -1;
        }
    }
};

TEST(ReadAhead, HandsOverEveryByteInOrderThroughASmallRing) {
    Pipe pipe;
    Bytes sent(100000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    std::thread writer([&] {
        for (std::size_t at = 0; at < sent.size();) {
            const std::size_t chunk = std::min<std::size_t>(1 + at % 4093, sent.size() - at);
            ASSERT_EQ(::write(pipe.ends[1], sent.data() + at, chunk), static_cast<ssize_t>(chunk));
            at += chunk;
        }
        pipe.closeWriter();
    });
    Bytes received;
    {
        ReadAhead source(pipe.ends[0], 1021);
        std::uint8_t buffer[613];
        for (;;) {
            const std::ptrdiff_t got = source.readSome(buffer, sizeof buffer);
            ASSERT_GE(got, 0);
            if (got == 0) {
                break;
            }
            received.insert(received.end(), buffer, buffer + got);
        }
        EXPECT_EQ(source.readSome(buffer, sizeof buffer), 0);  // the end stays the end
    }
    writer.join();
    EXPECT_EQ(received, sent);
}

TEST(ReadAhead, StopsWhetherWaitingForBytesOrForRoom) {
    Pipe silent;  // the thread waits for bytes that never come
    { ReadAhead source(silent.ends[0], 64); }

    Pipe full;  // more bytes than the ring holds: the thread waits for room
    const Bytes block(60000, 1);
    ASSERT_EQ(::write(full.ends[1], block.data(), block.size()),
              static_cast<ssize_t>(block.size()));
    ReadAhead source(full.ends[0], 4096);
    std::uint8_t byte = 0;
    EXPECT_EQ(source.readSome(&byte, 1), 1);
    EXPECT_EQ(byte, 1);
}

}  // namespace
}  // namespace probes
