// Checks UTF-8 fed in pieces, as a text message arrives in frames and reads: a sequence may be
// split anywhere. Well-formed means RFC 3629: no overlong forms, no surrogates (U+D800 to
// U+DFFF), nothing above U+10FFFF. Feed fails at the first byte that cannot continue a valid
// text; Complete says whether the text may end here (no sequence left open). Not thread-safe.
namespace Vrns.Http
{
    sealed class Utf8Validator
    {
        int need;  // continuation bytes still expected in the current sequence
        int lower = 0x80, upper = 0xBF;  // the range the next continuation byte must be in

        public bool Complete
        {
            get { return need == 0; }
        }

        // Whether b[at, at + count) is one whole well-formed text.
        public static bool IsValid(byte[] b, int at, int count)
        {
            var v = new Utf8Validator();
            return v.Feed(b, at, count) && v.Complete;
        }

        public void Reset()
        {
            need = 0;
            lower = 0x80;
            upper = 0xBF;
        }

        public bool Feed(byte[] b, int at, int count)
        {
            int end = at + count;
            for (int i = at; i < end; i++) {
                int c = b[i];
                if (need == 0) {
                    if (c < 0x80) continue;
                    if (!Start(c)) return false;
                    continue;
                }
                if (c < lower || c > upper) return false;
                lower = 0x80;
                upper = 0xBF;
                need--;
            }
            return true;
        }

        // The first byte of a sequence: how many bytes follow, and the second byte's range where
        // the first alone allows an overlong form, a surrogate or too large a code point.
        bool Start(int c)
        {
            if (c >= 0xC2 && c <= 0xDF) {
                need = 1;
            } else if (c >= 0xE0 && c <= 0xEF) {
                need = 2;
                if (c == 0xE0) lower = 0xA0;
                if (c == 0xED) upper = 0x9F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                need = 3;
                if (c == 0xF0) lower = 0x90;
                if (c == 0xF4) upper = 0x8F;
            } else {
                return false;
            }
            return true;
        }
    }
}
