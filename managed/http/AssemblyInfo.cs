// The library's unit tests and the framing fuzzer reach its internal parts (the parsers, the
// decoders) directly.
using System.Runtime.CompilerServices;

[assembly: InternalsVisibleTo("VrnsHttpUnits")]
[assembly: InternalsVisibleTo("VrnsFramingFuzz")]
