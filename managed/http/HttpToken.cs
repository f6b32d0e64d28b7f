// RFC 9110 tokens: field names, parameter names, cookie names. Pure; any thread.
namespace Vrns.Http
{
    static class HttpToken
    {
        public static bool IsTokenChar(char c)
        {
            if (c <= ' ' || c >= 0x7f) return false;
            return "\"(),/:;<=>?@[\\]{}".IndexOf(c) < 0;
        }

        public static bool IsToken(string s)
        {
            if (string.IsNullOrEmpty(s)) return false;
            foreach (char c in s)
                if (!IsTokenChar(c)) return false;
            return true;
        }
    }
}
