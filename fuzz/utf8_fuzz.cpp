// Feeds arbitrary bytes to the UTF-8 rules every outgoing text goes through:
// a repaired text is well formed, well-formed text is kept as it is, and the
// sequence walk never leaves the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/Utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string repaired = ostrovane::repairUtf8(bytes);
    if (!ostrovane::isValidUtf8(repaired))
        std::abort();
    if (ostrovane::isValidUtf8(bytes) != (repaired == bytes))
        std::abort();
    for (std::size_t i = 0; i < size;) {
        const int n = ostrovane::utf8SequenceAt(bytes, i);
        const std::size_t step = static_cast<std::size_t>(n > 0 ? n : -n);
        if (step == 0 || i + step > size)
            std::abort();
        i += step;
    }
    return 0;
}
