// Numbers and times written into messages.
#pragma once

#include <string>

namespace kov {

// `value` as printf's %g writes it with `significantDigits` digits: 6 gives "60" or "0.0333333",
// 17 gives the text that reads back to the same double.
std::string numberText(double value, int significantDigits);

// Seconds with three decimals and a unit, "4.200 s".
std::string secondsText(double seconds);

}  // namespace kov
