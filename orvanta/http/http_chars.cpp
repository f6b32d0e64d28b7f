#include "orvanta/http/http_chars.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace http_chars {

namespace {

#if defined(__SSE2__) || defined(__ARM_NEON)
constexpr size_t kVector = 16;
#endif

#if defined(__SSE2__)
// Whether any of the 16 bytes at p is a control character other than tab, or DEL.
bool HasNonText(const char* p) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned x >= ' ': the maximum of x and ' ' is x. Bytes from 0x80 (obs-text) pass.
    __m128i printable = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(' ')), x);
    __m128i tab = _mm_cmpeq_epi8(x, _mm_set1_epi8('\t'));
    __m128i del = _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7f));
    __m128i ok = _mm_andnot_si128(del, _mm_or_si128(printable, tab));
    return _mm_movemask_epi8(ok) != 0xffff;
}
#elif defined(__ARM_NEON)
bool HasNonText(const char* p) {
    uint8x16_t x = vld1q_u8(reinterpret_cast<const uint8_t*>(p));
    uint8x16_t printable = vcgeq_u8(x, vdupq_n_u8(' '));
    uint8x16_t tab = vceqq_u8(x, vdupq_n_u8('\t'));
    uint8x16_t del = vceqq_u8(x, vdupq_n_u8(0x7f));
    uint8x16_t ok = vbicq_u8(vorrq_u8(printable, tab), del);
    return vminvq_u8(ok) != 0xff;
}
#endif

}  // namespace

bool AllText(std::string_view s) {
    size_t i = 0;
#if defined(__SSE2__) || defined(__ARM_NEON)
    for (; i + kVector <= s.size(); i += kVector)
        if (HasNonText(s.data() + i)) return false;
#endif
    for (; i < s.size(); ++i)
        if (!Is(s[i], kText)) return false;
    return true;
}

}  // namespace http_chars
