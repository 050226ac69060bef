// Base64 codec: RFC 4648 vectors, buffer-size rules, the decoder's tolerance
// for blanks and line breaks, and agreement with coreutils on random data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base64/base64.h"
#include "support.h"

namespace {

const unsigned char *bytes(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}

struct Result {
    int rc;
    size_t olen;
    std::string out;
};

Result encode(const std::string &in, size_t room = 4096) {
    unsigned char buf[4096];
    memset(buf, '?', sizeof buf);
    size_t olen = 12345;
    int rc = base64_encode(buf, room, &olen, bytes(in), in.size());
    return {rc, olen, rc == 0 ? std::string(reinterpret_cast<char *>(buf), olen) : ""};
}

Result decode(const std::string &in, size_t room = 4096) {
    unsigned char buf[4096];
    size_t olen = 12345;
    int rc = base64_decode(buf, room, &olen, bytes(in), in.size());
    return {rc, olen, rc == 0 ? std::string(reinterpret_cast<char *>(buf), olen) : ""};
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string runCommand(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace

TEST(Base64, Rfc4648VectorsBothWays) {
    const char *plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char *text[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(plain[i]);
        Result e = encode(plain[i]);
        EXPECT_EQ(e.rc, 0);
        EXPECT_EQ(e.out, text[i]);
        EXPECT_EQ(e.olen, strlen(text[i]));
        Result d = decode(text[i]);
        EXPECT_EQ(d.rc, 0);
        EXPECT_EQ(d.out, plain[i]);
    }
}

TEST(Base64, EncoderRoomAndTerminator) {
    std::string chunk(128, '\x5a');
    unsigned char buf[200];
    size_t olen = 0;
    // 172 characters plus the NUL: one byte short is refused, nothing written.
    memset(buf, '?', sizeof buf);
    EXPECT_EQ(base64_encode(buf, 172, &olen, bytes(chunk), 128), BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(olen, 173u);
    EXPECT_EQ(buf[0], '?');
    EXPECT_EQ(base64_encode(buf, 173, &olen, bytes(chunk), 128), BASE64_OK);
    EXPECT_EQ(olen, 172u);
    EXPECT_EQ(buf[172], '\0');
    // A missing destination reports the room needed.
    EXPECT_EQ(base64_encode(nullptr, 0, &olen, bytes("foo"), 3), BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(olen, 5u);
    // Nothing to encode leaves the destination alone.
    memset(buf, '?', sizeof buf);
    EXPECT_EQ(base64_encode(buf, sizeof buf, &olen, bytes(""), 0), BASE64_OK);
    EXPECT_EQ(olen, 0u);
    EXPECT_EQ(buf[0], '?');
    // A length whose text would not fit the size type.
    EXPECT_EQ(base64_encode(buf, sizeof buf, &olen, bytes("x"), SIZE_MAX - 1),
              BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(olen, SIZE_MAX);
}

TEST(Base64, DecoderAcceptsLineBreaksAndTrailingBlanks) {
    EXPECT_EQ(decode("Zm9v\r\nZm9v").out, "foofoo");
    EXPECT_EQ(decode("Zm9v\nZm9v\n").out, "foofoo");
    EXPECT_EQ(decode("Zm9v  ").out, "foo");
    EXPECT_EQ(decode("Zm9v  \r\nZm9v").out, "foofoo");
    EXPECT_EQ(decode("Zg=\n=").out, "f");  // the pad limit spans the whole text
    EXPECT_EQ(decode("Zh==").out, "f");    // spare low bits are ignored
    for (const char *empty : {"", "   ", "\r\n", "\n\n"}) {
        Result r = decode(empty);
        EXPECT_EQ(r.rc, 0) << empty;
        EXPECT_EQ(r.olen, 0u) << empty;
    }
}

TEST(Base64, DecoderRejectsMalformedTextWithoutTouchingOutput) {
    const char *bad[] = {"Zm 9v", "Zm\r9v", "Zm9v\r", "Zg===", "Zg=A",
                         "Zm9v\n Zm9v", "Zm9v*", "Zm\x80v", "Zm9v\t"};
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        unsigned char buf[16];
        memset(buf, '?', sizeof buf);
        size_t olen = 777;
        EXPECT_EQ(base64_decode(buf, sizeof buf, &olen, bytes(text), strlen(text)),
                  BASE64_INVALID_CHARACTER);
        EXPECT_EQ(olen, 777u);
        EXPECT_EQ(buf[0], '?');
    }
}

TEST(Base64, DecoderSizesAndIncompleteGroups) {
    Result r = decode("Zm8");  // an unpadded tail is counted but not written
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.olen, 0u);
    r = decode("Zm9vZ");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "foo");
    r = decode("Zg=", 1);  // needs two bytes of room, yields none
    EXPECT_EQ(r.rc, BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.olen, 2u);
    EXPECT_EQ(decode("Zg=", 2).olen, 0u);
    r = decode("Zm9vYmFy", 5);
    EXPECT_EQ(r.rc, BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.olen, 6u);
    EXPECT_EQ(decode("Zm9vYmFy", 6).out, "foobar");
    size_t olen = 0;
    EXPECT_EQ(base64_decode(nullptr, 0, &olen, bytes("Zm9v"), 4), BASE64_BUFFER_TOO_SMALL);
    EXPECT_EQ(olen, 3u);
    // The text need not be NUL-terminated: only slen characters are read.
    EXPECT_EQ(decode(std::string("Zm9vZm9v", 4)).out, "foo");
}

TEST(Base64, MatchesCoreutilsOnRandomData) {
    std::string dir = enterTempDir();
    for (unsigned seed = 1; seed <= 40; ++seed) {
        size_t len = seed == 1 ? 1 : (seed * 37) % 1500;
        std::string data = randomBytes(len, seed);
        writeFile("data.bin", data);
        std::string expected = runCommand("base64 -w0 data.bin");
        ASSERT_FALSE(len > 0 && expected.empty()) << "coreutils base64 did not run";
        Result e = encode(data);
        ASSERT_EQ(e.rc, 0);
        EXPECT_EQ(e.out, expected) << "length " << len;
        // Wrapped output, with its line feeds, decodes back to the data.
        std::string wrapped = runCommand("base64 -w76 data.bin");
        Result d = decode(wrapped);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.out, data) << "length " << len;
    }
    // And the other way: coreutils decodes what the encoder wrote.
    std::string data = randomBytes(999, 99);
    writeFile("enc.txt", encode(data).out);
    EXPECT_EQ(runCommand("base64 -d enc.txt"), data);
    leaveTempDir();
}
