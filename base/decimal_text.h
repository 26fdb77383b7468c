#pragma once

#include <string>

// Plain decimal digits. Hand-rolled: std::to_wstring and the C library's
// formatted printing bring some 25 KB of float-capable code into the static
// exe for a few small numbers.
std::wstring DecimalText(unsigned long long value);
