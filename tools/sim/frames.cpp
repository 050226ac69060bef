// The "@DAT" line: two capital hex digits of the byte sum (mod 256), the
// bytes in Base64, a line feed when sent. Uses the project's own codec.
#include <cstring>

#include "base64/base64.h"
#include "sim.h"

static unsigned char byteSum(const unsigned char *p, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return (unsigned char)sum;
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string frameEncode(const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    unsigned char sum = byteSum(p, n);
    std::string frame = "@DAT";
    frame += digits[sum >> 4];
    frame += digits[sum & 15];
    std::string text(4 * ((n + 2) / 3) + 1, '\0');
    size_t len = 0;
    if (base64_encode((unsigned char *)text.data(), text.size(), &len, p, n) != BASE64_OK) len = 0;
    frame.append(text, 0, len);
    return frame + "\n";
}

// The payload's length, or -1 for anything but a well-formed, matching frame.
int frameDecode(const std::string &line, unsigned char *dst, size_t cap) {
    if (line.size() < 7 || line.compare(0, 4, "@DAT") != 0) return -1;
    int hi = hexValue(line[4]), lo = hexValue(line[5]);
    if (hi < 0 || lo < 0) return -1;
    size_t n = 0;
    const unsigned char *text = (const unsigned char *)line.data() + 6;
    if (base64_decode(dst, cap, &n, text, line.size() - 6) != BASE64_OK || n == 0) return -1;
    if (byteSum(dst, n) != (unsigned char)(hi << 4 | lo)) return -1;
    return (int)n;
}

// Changes the first Base64 character to another one of the alphabet: the
// frame still decodes, but the first byte, and so the sum, no longer match.
void frameCorrupt(std::string &frame) {
    if (frame.size() < 7) return;
    char &c = frame[6];
    c = c == 'A' ? 'B' : 'A';
}
