// The download frame check: decodeDataFrame on whatever a misbehaving
// instrument can put in mFrameEncodedBuffer, checked against the codec and
// the checksum rule; and frames built by encodeDataFrame must check back.
// Both frame buffers are globals with redzones under AddressSanitizer.
#include <cstdint>
#include <cstring>

#include "base64/base64.h"
#include "fuzz_check.h"
#include "transfer/transfer.h"

static unsigned char hexValue(unsigned char c) {
    return (unsigned char)(c <= '9' ? c - 48 : c - 55);
}

static unsigned char byteSum(const unsigned char *p, size_t n) {
    unsigned char sum = 0;
    for (size_t i = 0; i < n; ++i) sum = (unsigned char)(sum + p[i]);
    return sum;
}

// The first byte picks the fill of the buffer past the input: NULs, or
// non-NUL bytes so that the line may run to the end of the buffer.
static void checkArbitrary(uint8_t mode, const uint8_t *data, size_t size) {
    size_t n = size < FRAME_ENCODED_SIZE ? size : FRAME_ENCODED_SIZE;
    memset(mFrameEncodedBuffer, (mode & 1) ? 'A' : 0, FRAME_ENCODED_SIZE);
    memcpy(mFrameEncodedBuffer, data, n);
    unsigned char frame[FRAME_ENCODED_SIZE];
    memcpy(frame, mFrameEncodedBuffer, sizeof frame);
    memset(mFramePlainBuffer, 0xA5, FRAME_PLAIN_SIZE);

    int rc = decodeDataFrame();
    FUZZ_CHECK(rc == -1 || rc == -2 || (rc >= 0 && rc <= FRAME_PLAIN_SIZE));
    FUZZ_CHECK(memcmp(frame, mFrameEncodedBuffer, sizeof frame) == 0);  // input left alone

    size_t len = strnlen((const char *)frame, sizeof frame);
    if (len < 6 || len == sizeof frame) return;  // no payload, or no line end at all
    unsigned char plain[FRAME_PLAIN_SIZE];
    size_t olen = 0;
    int ref = base64_decode(plain, FRAME_PLAIN_SIZE, &olen, frame + 6, len - 6);
    if (ref != BASE64_OK) {
        FUZZ_CHECK(rc == -1);  // undecodable, or more than the buffer holds
        return;
    }
    unsigned char sent = (unsigned char)((hexValue(frame[4]) << 4) | hexValue(frame[5]));
    if (sent != byteSum(plain, olen)) {
        FUZZ_CHECK(rc == -2);
        return;
    }
    FUZZ_CHECK(rc == (int)olen);
    FUZZ_CHECK(memcmp(mFramePlainBuffer, plain, olen) == 0);
}

// A chunk of 1 to 128 bytes framed and checked back, with and without the
// line feed the reader strips.
static void checkRoundTrip(const uint8_t *data, size_t size) {
    size_t n = size > FRAME_CHUNK ? FRAME_CHUNK : size;
    if (n == 0) return;
    memcpy(mFramePlainBuffer, data, n);
    int len = encodeDataFrame((int)n);
    FUZZ_CHECK(len == (int)(6 + (n + 2) / 3 * 4 + 1));
    FUZZ_CHECK(memcmp(mFrameEncodedBuffer, "@DAT", 4) == 0);
    char hex[2];
    makeByteToHex(byteSum(data, n), hex);
    FUZZ_CHECK(mFrameEncodedBuffer[4] == hex[0] && mFrameEncodedBuffer[5] == hex[1]);
    FUZZ_CHECK(mFrameEncodedBuffer[len - 1] == '\n' && mFrameEncodedBuffer[len] == '\0');

    for (int keepLineFeed = 0; keepLineFeed < 2; ++keepLineFeed) {
        mFrameEncodedBuffer[len - 1] = keepLineFeed ? '\n' : '\0';
        memset(mFramePlainBuffer, 0, FRAME_PLAIN_SIZE);
        FUZZ_CHECK(decodeDataFrame() == (int)n);
        FUZZ_CHECK(memcmp(mFramePlainBuffer, data, n) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 0x80)
        checkRoundTrip(data + 1, size - 1);
    else
        checkArbitrary(data[0], data + 1, size - 1);
    return 0;
}
