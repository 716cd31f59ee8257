#pragma once
// Shared by the fuzz targets: a broken property stops the fuzzer the way a crash does,
// so that libFuzzer keeps the input that broke it and prints what was expected.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace pupdate::fuzz {

[[noreturn]] inline void fail(const char* property) {
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

inline void check(bool holds, const char* property) {
    if (!holds) {
        fail(property);
    }
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace pupdate::fuzz
