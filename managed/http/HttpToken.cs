// RFC 9110 tokens (tchar: a letter, a digit, or one of !#$%&'*+-.^_`|~): field names,
// parameter names, cookie names; the one check all of them use. Pure; any thread.
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
