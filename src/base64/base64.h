// Base64 (RFC 4648 standard alphabet) into caller-provided buffers.
// Uses no other room.
#pragma once
#include <cstddef>

// Result codes
constexpr int BASE64_OK = 0;
constexpr int BASE64_BUFFER_TOO_SMALL = -1;
constexpr int BASE64_INVALID_CHARACTER = -2;

extern const unsigned char base64_enc_map[64];
extern const unsigned char base64_dec_map[128];

int base64_encode(unsigned char *dst, size_t dlen, size_t *olen,
                  const unsigned char *src, size_t slen);
int base64_decode(unsigned char *dst, size_t dlen, size_t *olen,
                  const unsigned char *src, size_t slen);
