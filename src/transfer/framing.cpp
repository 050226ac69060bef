// The transfer lines: the "@DAT" data frame (two hex digits of the byte sum,
// the chunk in Base64, a line feed) and the CR-ended control lines.
#include <unistd.h>

#include <cstring>

#include "base64/base64.h"
#include "port/port.h"
#include "base/base.h"
#include "transfer/transfer.h"

unsigned char mFramePlainBuffer[FRAME_PLAIN_SIZE];
char mFrameEncodedBuffer[FRAME_ENCODED_SIZE];

static constexpr int PAYLOAD_AT = 6;  // "@DAT" and the two checksum digits

static unsigned char byteSum(const unsigned char *p, int len) {
    unsigned char sum = 0;
    for (int i = 0; i < len; ++i) sum = (unsigned char)(sum + p[i]);
    return sum;
}

void makeByteToHex(unsigned char byte, char *two) {
    static const char digits[] = "0123456789ABCDEF";
    two[0] = digits[byte >> 4];
    two[1] = digits[byte & 0x0F];
}

static unsigned char hexDigit(char c) {
    unsigned char u = (unsigned char)c;
    return (unsigned char)(u <= '9' ? u - 48 : u - 55);
}

int encodeDataFrame(int chunkLen) {
    if (chunkLen < 1 || chunkLen > FRAME_PLAIN_SIZE) return -1;
    memcpy(mFrameEncodedBuffer, "@DAT", 4);
    makeByteToHex(byteSum(mFramePlainBuffer, chunkLen), mFrameEncodedBuffer + 4);
    unsigned char *text = (unsigned char *)mFrameEncodedBuffer + PAYLOAD_AT;
    size_t room = FRAME_ENCODED_SIZE - PAYLOAD_AT - 1;  // keeps a byte for the LF
    size_t n = 0;
    if (base64_encode(text, room, &n, mFramePlainBuffer, chunkLen) != BASE64_OK) return -1;
    mFrameEncodedBuffer[PAYLOAD_AT + n] = '\n';
    mFrameEncodedBuffer[PAYLOAD_AT + n + 1] = '\0';
    return (int)(PAYLOAD_AT + n + 1);
}

int decodeDataFrame() {
    size_t len = strnlen(mFrameEncodedBuffer, FRAME_ENCODED_SIZE);
    if (len < PAYLOAD_AT || len == FRAME_ENCODED_SIZE) return -1;
    const unsigned char *text = (const unsigned char *)mFrameEncodedBuffer + PAYLOAD_AT;
    size_t n = 0;
    if (base64_decode(mFramePlainBuffer, FRAME_PLAIN_SIZE, &n, text, len - PAYLOAD_AT) !=
        BASE64_OK)
        return -1;
    unsigned char sent = (unsigned char)((hexDigit(mFrameEncodedBuffer[4]) << 4) |
                                         hexDigit(mFrameEncodedBuffer[5]));
    if (sent != byteSum(mFramePlainBuffer, (int)n)) return -2;
    return (int)n;
}

void sendControl(const char *word) {
    char text[5];
    memcpy(text, word, 4);
    text[4] = '\r';
    ssize_t n = writePort(text, sizeof text);
    (void)n;  // the dialogue's next wait notices a line that went nowhere
}
