#pragma once

#include <string>

namespace ostrovane {

// The shortest decimal that reads back as exactly `value`, in plain (not
// exponent) notation, always with a decimal point and at least one digit
// after it: 1765000000.25 -> "1765000000.25", 3 -> "3.0".
std::string shortestDecimal(double value);

}  // namespace ostrovane
