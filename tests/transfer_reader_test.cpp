// The timed message reader and the "@DAT" frame, with the test writing the
// instrument's side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "support.h"
#include "base/base.h"
#include "transfer/transfer.h"

namespace {

std::string takeAllHeld() {
    std::string out;
    char buf[16];
    int n;
    while ((n = takeHeldInput(buf, sizeof buf)) > 0) out.append(buf, n);
    return out;
}

class Reader : public ::testing::Test {
protected:
    Pty pty;
    void SetUp() override {
        takeAllHeld();
        pty = openPty();
        ASSERT_GE(pty.slave, 0);
        gTermFD = pty.slave;
    }
    void TearDown() override {
        takeAllHeld();
        closePty(pty);
        gTermFD = -1;
    }
    // Reads one line; the text is empty after a failure.
    std::string line(int size = 64, int seconds = 1, int *len = nullptr) {
        char buf[256];
        int n = readLineTerminalTimeout(buf, size, seconds);
        if (len) *len = n;
        return n < 0 ? std::string() : std::string(buf);
    }
};

}  // namespace

TEST_F(Reader, ReturnsLinesWithoutTheirEnds) {
    int len = -9;
    writeAll(pty.master, "\r\n@ACK\r\n");
    EXPECT_EQ(line(64, 1, &len), "@ACK");
    EXPECT_EQ(len, 4);
    // A line that arrives in pieces, each within the limit.
    writeAll(pty.master, "T=2");
    std::thread late([&] {
        usleep(100 * 1000);
        writeAll(pty.master, "3.5\n");
    });
    EXPECT_EQ(line(), "T=23.5");
    late.join();
    // A lone CR also ends a line, as the control lines from the host do.
    writeAll(pty.master, "@NAK\r");
    EXPECT_EQ(line(), "@NAK");
}

TEST_F(Reader, KeepsEveryLineOfOneBurst) {
    writeAll(pty.master, "@ACK\r\n@FIN\r\n");
    EXPECT_EQ(line(), "@ACK");
    // The second line is already held, so no wait is needed for it.
    EXPECT_EQ(line(64, 0), "@FIN");
    EXPECT_EQ(takeAllHeld(), "");  // the LF of CR LF went with its line

    writeAll(pty.master, "@ACK\r\nT=23.5\r\n$ ");
    EXPECT_EQ(line(), "@ACK");
    EXPECT_EQ(takeAllHeld(), "T=23.5\r\n$ ");
    EXPECT_EQ(takeAllHeld(), "");
}

TEST_F(Reader, RemarksAreShownAndSkipped) {
    char buf[64];
    captureStart();
    writeAll(pty.master, "# free 1200 KB\r\n@ACK\r\n");  // one burst
    int a = readMessageTimeout(buf, sizeof buf, 1);
    std::string first = buf;
    writeAll(pty.master, "# one\r\n");
    writeAll(pty.master, "# two\r\n@NAK\r\n");
    int b = readMessageTimeout(buf, sizeof buf, 1);
    std::string second = buf;
    std::string shown = captureStop();
    EXPECT_EQ(a, 4);
    EXPECT_EQ(first, "@ACK");
    EXPECT_EQ(b, 4);
    EXPECT_EQ(second, "@NAK");
    EXPECT_EQ(shown, "# free 1200 KB\n# one\n# two\n");
}

TEST_F(Reader, OverlongLinesAreCutAndTheirRestDropped) {
    int len = 0;
    writeAll(pty.master, "abcdefghij\r\nklm\r\n");
    EXPECT_EQ(line(8, 1, &len), "abcdefg");
    EXPECT_EQ(len, 7);
    EXPECT_EQ(line(8, 0), "klm");  // the next line is kept
    // The rest may arrive in a later read.
    writeAll(pty.master, "@ACK and a remark too long for the buffer");
    EXPECT_EQ(line(8), "@ACK an");
    writeAll(pty.master, " to hold\r\n@NAK\r\n");
    EXPECT_EQ(line(8), "@NAK");
    // A line end right after a full buffer belongs to that line.
    writeAll(pty.master, "@ACK\r\n@NAK\r\n");
    EXPECT_EQ(line(5), "@ACK");
    EXPECT_EQ(line(5, 0), "@NAK");
    // Size 1 returns an empty text and consumes nothing.
    char one[1] = {'x'};
    writeAll(pty.master, "@FIN\r\n");
    EXPECT_EQ(readLineTerminalTimeout(one, 1, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(line(), "@FIN");
}

TEST_F(Reader, TimeOutAndReadFailure) {
    int len = 0;
    EXPECT_EQ(line(64, 1, &len), "");
    EXPECT_EQ(len, -1);
    captureStart();
    close(pty.master);  // the instrument's side is gone: reads fail
    pty.master = -1;
    EXPECT_EQ(line(64, 1, &len), "");
    std::string shown = captureStop();
    EXPECT_EQ(len, -1);
    EXPECT_EQ(shown, "> terminal read failed\n");
}

TEST(Frame, EncodesChecksumPayloadAndLineFeed) {
    memcpy(mFramePlainBuffer, "abc", 3);
    ASSERT_EQ(encodeDataFrame(3), 11);
    EXPECT_EQ(std::string(mFrameEncodedBuffer, 11), "@DAT26YWJj\n");
    EXPECT_EQ(mFrameEncodedBuffer[11], '\0');

    memset(mFramePlainBuffer, 0xFF, 128);  // checksum 128 * 255 mod 256 = 0x80
    ASSERT_EQ(encodeDataFrame(FRAME_CHUNK), 179);
    EXPECT_EQ(std::string(mFrameEncodedBuffer, 6), "@DAT80");
    EXPECT_EQ(mFrameEncodedBuffer[178], '\n');

    EXPECT_EQ(encodeDataFrame(0), -1);
    EXPECT_EQ(encodeDataFrame(FRAME_PLAIN_SIZE + 1), -1);

    char two[3] = {};
    makeByteToHex(0x00, two);
    EXPECT_STREQ(two, "00");
    makeByteToHex(0xAB, two);
    EXPECT_STREQ(two, "AB");
    makeByteToHex(0xF9, two);
    EXPECT_STREQ(two, "F9");
}

TEST(Frame, DecodesWhatItEncodes) {
    std::mt19937 gen(7);
    for (int len = 1; len <= FRAME_CHUNK; ++len) {
        unsigned char chunk[FRAME_CHUNK];
        for (int i = 0; i < len; ++i) chunk[i] = (unsigned char)gen();
        memcpy(mFramePlainBuffer, chunk, len);
        int n = encodeDataFrame(len);
        ASSERT_GT(n, 0);
        mFrameEncodedBuffer[n - 1] = '\0';  // the reader hands lines over without LF
        memset(mFramePlainBuffer, 0, FRAME_PLAIN_SIZE);
        ASSERT_EQ(decodeDataFrame(), len);
        ASSERT_EQ(memcmp(mFramePlainBuffer, chunk, len), 0) << "length " << len;
    }
}

TEST(Frame, RejectsDamagedFrames) {
    auto decode = [](const char *text) {
        strcpy(mFrameEncodedBuffer, text);
        return decodeDataFrame();
    };
    EXPECT_EQ(decode("@DAT26YWJj"), 3);
    EXPECT_EQ(decode("@DAT27YWJj"), -2);  // checksum off by one
    EXPECT_EQ(decode("@DAT26YWJk"), -2);  // payload bit flipped
    EXPECT_EQ(decode("@DAT26YW Jj"), -1);  // blank inside the Base64
    EXPECT_EQ(decode("@DAT26YW*j"), -1);
    EXPECT_EQ(decode("@DAT2"), -1);  // too short to hold a checksum
    // More text than the plain buffer can take.
    std::string big = "@DAT00" + std::string(177, 'A');
    EXPECT_EQ(decode(big.c_str()), -1);
    // An empty payload sums to zero.
    EXPECT_EQ(decode("@DAT00"), 0);
}
