// Base64 with the RFC 4648 alphabet, working only in the caller's buffers.
#include "base64/base64.h"

#include <cstdint>

const unsigned char base64_enc_map[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M',
    'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z',
    'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
    'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z',
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// 6-bit value of each alphabet character, 64 for the pad, 127 for the rest.
const unsigned char base64_dec_map[128] = {
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,
    127, 127, 127, 127, 62,  127, 127, 127, 63,  52,  53,  54,  55,
    56,  57,  58,  59,  60,  61,  127, 127, 127, 64,  127, 127, 127,
    0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,
    13,  14,  15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,
    127, 127, 127, 127, 127, 127, 26,  27,  28,  29,  30,  31,  32,
    33,  34,  35,  36,  37,  38,  39,  40,  41,  42,  43,  44,  45,
    46,  47,  48,  49,  50,  51,  127, 127, 127, 127, 127};

int base64_encode(unsigned char *dst, size_t dlen, size_t *olen,
                  const unsigned char *src, size_t slen) {
    if (slen == 0) {
        *olen = 0;
        return BASE64_OK;
    }
    size_t groups = slen / 3 + (slen % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4) {
        *olen = SIZE_MAX;
        return BASE64_BUFFER_TOO_SMALL;
    }
    size_t need = groups * 4 + 1;
    if (dst == nullptr || dlen < need) {
        *olen = need;
        return BASE64_BUFFER_TOO_SMALL;
    }
    unsigned char *p = dst;
    size_t i = 0;
    for (; i + 3 <= slen; i += 3) {
        unsigned c1 = src[i], c2 = src[i + 1], c3 = src[i + 2];
        *p++ = base64_enc_map[c1 >> 2];
        *p++ = base64_enc_map[((c1 & 3) << 4) | (c2 >> 4)];
        *p++ = base64_enc_map[((c2 & 15) << 2) | (c3 >> 6)];
        *p++ = base64_enc_map[c3 & 63];
    }
    if (i < slen) {
        unsigned c1 = src[i];
        unsigned c2 = i + 1 < slen ? src[i + 1] : 0;
        *p++ = base64_enc_map[c1 >> 2];
        *p++ = base64_enc_map[((c1 & 3) << 4) | (c2 >> 4)];
        *p++ = i + 1 < slen ? base64_enc_map[(c2 & 15) << 2] : '=';
        *p++ = '=';
    }
    *p = 0;
    *olen = static_cast<size_t>(p - dst);
    return BASE64_OK;
}

// First pass: validates the text and counts its characters (n) and pads (e).
static int base64_check(const unsigned char *src, size_t slen, size_t *n,
                        size_t *e) {
    size_t count = 0, pads = 0;
    for (size_t i = 0; i < slen; i++) {
        size_t blanks = 0;
        while (i < slen && src[i] == ' ') {
            ++i;
            ++blanks;
        }
        if (i == slen) break;
        if (slen - i >= 2 && src[i] == '\r' && src[i + 1] == '\n') {
            ++i;  // the pair: the loop steps over the LF
            continue;
        }
        if (src[i] == '\n') continue;
        if (blanks != 0) return BASE64_INVALID_CHARACTER;
        if (src[i] == '=' && ++pads > 2) return BASE64_INVALID_CHARACTER;
        if (src[i] > 127 || base64_dec_map[src[i]] == 127)
            return BASE64_INVALID_CHARACTER;
        if (base64_dec_map[src[i]] < 64 && pads != 0)
            return BASE64_INVALID_CHARACTER;
        ++count;
    }
    *n = count;
    *e = pads;
    return BASE64_OK;
}

int base64_decode(unsigned char *dst, size_t dlen, size_t *olen,
                  const unsigned char *src, size_t slen) {
    size_t n = 0, e = 0;
    int rc = base64_check(src, slen, &n, &e);
    if (rc != BASE64_OK) return rc;
    if (n == 0) {
        *olen = 0;
        return BASE64_OK;
    }
    size_t need = 6 * (n / 8) + (6 * (n % 8) + 7) / 8 - e;
    if (dst == nullptr || dlen < need) {
        *olen = need;
        return BASE64_BUFFER_TOO_SMALL;
    }
    int out = 3;  // bytes per group, lowered by every pad seen so far
    int inGroup = 0;
    uint32_t bits = 0;
    unsigned char *p = dst;
    for (size_t i = 0; i < slen; i++) {
        unsigned char c = src[i];
        if (c == '\r' || c == '\n' || c == ' ') continue;
        out -= base64_dec_map[c] == 64;
        bits = (bits << 6) | (base64_dec_map[c] & 0x3F);
        if (++inGroup == 4) {
            inGroup = 0;
            if (out > 0) *p++ = static_cast<unsigned char>(bits >> 16);
            if (out > 1) *p++ = static_cast<unsigned char>(bits >> 8);
            if (out > 2) *p++ = static_cast<unsigned char>(bits);
        }
    }
    *olen = static_cast<size_t>(p - dst);
    return BASE64_OK;
}
