#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ostrovane {

// Strict UTF-8, as JSON and every reader of the helper's lines expect it: no
// overlong forms, no surrogates, nothing beyond U+10FFFF.

// The length (1 to 4) of the well-formed sequence that starts at byte `i`
// of `bytes`, or, negated, the length of the maximal ill-formed subpart
// there: the bytes one U+FFFD stands for.
int utf8SequenceAt(std::string_view bytes, std::size_t i);

bool isValidUtf8(std::string_view bytes);

// `bytes` with every maximal ill-formed subpart replaced by U+FFFD.
// Well-formed input, NUL bytes included, comes back unchanged.
std::string repairUtf8(std::string_view bytes);

}  // namespace ostrovane
