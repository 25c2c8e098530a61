// libFuzzer target for the JSON codec: any bytes must parse without a crash
// or a leak, and whatever parses must survive being written and read back.
// Built only with clang (target fuzz_json); run it with the seed corpus:
//   build/tests/fuzz/fuzz_json -max_total_time=60 tests/data/fuzz_json

#include "json/jsonvalue.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const JsonValue value = JsonValue::parse(text);
    if (value.isNull())
        return 0;
    // Written text is JSON again, and reads back to the same text.
    const std::string written = value.serialize();
    const JsonValue again = JsonValue::parse(written);
    if (again.serialize() != written)
        std::abort();
    return 0;
}
