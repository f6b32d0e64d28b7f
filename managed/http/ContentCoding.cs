// Content codings, as the native server reads them: whether a client's Accept-Encoding admits
// gzip, for StaticFiles' precompressed FILE.gz siblings and for the opt-in gzip of handler
// responses. Pure; any thread.
using System;

namespace Vrns.Http
{
    static class ContentCoding
    {
        const int NoWeight = -1, FullWeight = 1000;

        // True when the request's Accept-Encoding values admit gzip: "gzip" or "x-gzip" with a
        // q-value above 0, or "*" above 0 when gzip is not named. An element with a malformed
        // q-value counts as absent.
        public static bool AcceptsGzip(RequestHeaders headers)
        {
            if (headers.Count == 0) return false;
            int gzip = NoWeight, any = NoWeight;
            foreach (string value in headers.GetValues("Accept-Encoding")) Weigh(value, ref gzip, ref any);
            return gzip != NoWeight ? gzip > 0 : any > 0;
        }

        public static bool AcceptsGzip(string value)
        {
            int gzip = NoWeight, any = NoWeight;
            Weigh(value, ref gzip, ref any);
            return gzip != NoWeight ? gzip > 0 : any > 0;
        }

        static void Weigh(string value, ref int gzip, ref int any)
        {
            foreach (string element in value.Split(',')) {
                string coding;
                int weight;
                if (!ParseElement(element, out coding, out weight)) continue;
                if (string.Equals(coding, "gzip", StringComparison.OrdinalIgnoreCase) ||
                    string.Equals(coding, "x-gzip", StringComparison.OrdinalIgnoreCase))
                    gzip = Math.Max(gzip, weight);
                else if (coding == "*")
                    any = Math.Max(any, weight);
            }
        }

        // "coding;q=0.5": its coding and weight in thousandths (1000 without a q).
        static bool ParseElement(string element, out string coding, out int weight)
        {
            string[] parts = element.Split(';');
            coding = parts[0].Trim(' ', '\t');
            weight = FullWeight;
            for (int i = 1; i < parts.Length; i++) {
                string p = parts[i].Trim(' ', '\t');
                if (p.Length >= 2 && (p[0] == 'q' || p[0] == 'Q') && p[1] == '=' && !ParseQValue(p.Substring(2), out weight))
                    return false;
            }
            return coding.Length > 0;
        }

        // "0", "0.5", "1.000": thousandths; false when malformed.
        static bool ParseQValue(string s, out int thousandths)
        {
            thousandths = 0;
            if (s.Length == 0 || s.Length > 5 || (s[0] != '0' && s[0] != '1')) return false;
            int value = (s[0] - '0') * FullWeight;
            if (s.Length > 1) {
                if (s[1] != '.') return false;
                int scale = 100;
                for (int i = 2; i < s.Length; i++) {
                    if (s[i] < '0' || s[i] > '9') return false;
                    value += (s[i] - '0') * scale;
                    scale /= 10;
                }
            }
            if (value > FullWeight) return false;
            thousandths = value;
            return true;
        }
    }
}
