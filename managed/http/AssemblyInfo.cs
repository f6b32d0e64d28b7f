// The library's unit tests reach its internal parts (the parsers, the decoders) directly.
using System.Runtime.CompilerServices;

[assembly: InternalsVisibleTo("VrnsHttpUnits")]
