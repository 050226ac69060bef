// base64_decode on arbitrary text, and both directions as a round trip.
// Every output goes into a heap block of exactly the size the codec asked
// for, so AddressSanitizer catches any byte written past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64/base64.h"
#include "fuzz_check.h"

static const unsigned char SENTINEL = 0xA5;

// Decodes into a block of exactly the reported size; returns the bytes.
static std::vector<unsigned char> decodeExact(const unsigned char *text, size_t len, int *rc) {
    size_t need = 0;
    *rc = base64_decode(nullptr, 0, &need, text, len);
    if (*rc == BASE64_INVALID_CHARACTER || *rc == BASE64_OK) {
        FUZZ_CHECK(*rc != BASE64_OK || need == 0);
        return {};
    }
    FUZZ_CHECK(*rc == BASE64_BUFFER_TOO_SMALL);
    FUZZ_CHECK(need <= len);  // six bits per character at most
    if (need > 0) {
        // One byte short is refused and the size reported again.
        unsigned char *small = static_cast<unsigned char *>(malloc(need - 1 ? need - 1 : 1));
        size_t again = 0;
        FUZZ_CHECK(base64_decode(small, need - 1, &again, text, len) == BASE64_BUFFER_TOO_SMALL);
        FUZZ_CHECK(again == need);
        free(small);
    }
    unsigned char *dst = static_cast<unsigned char *>(malloc(need ? need : 1));
    size_t olen = SIZE_MAX;
    *rc = base64_decode(dst, need, &olen, text, len);
    FUZZ_CHECK(*rc == BASE64_OK);
    FUZZ_CHECK(olen <= need);
    std::vector<unsigned char> out(dst, dst + olen);
    free(dst);
    return out;
}

static std::string encodeExact(const unsigned char *src, size_t len) {
    size_t need = 0;
    int rc = base64_encode(nullptr, 0, &need, src, len);
    if (len == 0) {
        FUZZ_CHECK(rc == BASE64_OK && need == 0);
        return {};
    }
    FUZZ_CHECK(rc == BASE64_BUFFER_TOO_SMALL);
    FUZZ_CHECK(need == (len + 2) / 3 * 4 + 1);
    unsigned char *dst = static_cast<unsigned char *>(malloc(need));
    size_t olen = 0;
    FUZZ_CHECK(base64_encode(dst, need, &olen, src, len) == BASE64_OK);
    FUZZ_CHECK(olen == need - 1 && dst[olen] == '\0');
    std::string text(reinterpret_cast<char *>(dst), olen);
    free(dst);
    return text;
}

// Encoder output decodes to exactly the bytes it came from, also with line
// breaks and trailing blanks the decoder must skip.
static void roundTrip(const unsigned char *src, size_t len) {
    std::string text = encodeExact(src, len);
    for (char c : text) FUZZ_CHECK(c == '=' || memchr(base64_enc_map, c, 64) != nullptr);
    int rc = 0;
    std::vector<unsigned char> back =
        decodeExact(reinterpret_cast<const unsigned char *>(text.data()), text.size(), &rc);
    FUZZ_CHECK(rc == BASE64_OK || len == 0);
    FUZZ_CHECK(back.size() == len && (len == 0 || memcmp(back.data(), src, len) == 0));

    std::string wrapped;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i > 0 && i % 64 == 0) wrapped += (i / 64) % 2 ? "\r\n" : "  \n";
        wrapped += text[i];
    }
    wrapped += "   ";
    back = decodeExact(reinterpret_cast<const unsigned char *>(wrapped.data()), wrapped.size(), &rc);
    FUZZ_CHECK(back.size() == len && (len == 0 || memcmp(back.data(), src, len) == 0));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Arbitrary text: never a fault, and a refusal leaves everything alone.
    unsigned char guard[16];
    memset(guard, SENTINEL, sizeof guard);
    size_t olen = 12345;
    int rc = base64_decode(guard, sizeof guard, &olen, data, size);
    FUZZ_CHECK(rc == BASE64_OK || rc == BASE64_BUFFER_TOO_SMALL || rc == BASE64_INVALID_CHARACTER);
    if (rc == BASE64_INVALID_CHARACTER) FUZZ_CHECK(olen == 12345);
    size_t written = rc == BASE64_OK ? olen : 0;
    FUZZ_CHECK(written <= sizeof guard);
    for (size_t i = written; i < sizeof guard; ++i) FUZZ_CHECK(guard[i] == SENTINEL);

    std::vector<unsigned char> bytes = decodeExact(data, size, &rc);
    if (rc == BASE64_OK) roundTrip(bytes.data(), bytes.size());  // decoded bytes re-encode
    roundTrip(data, size);                                        // any bytes survive the trip
    return 0;
}
