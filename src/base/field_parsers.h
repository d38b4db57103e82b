#pragma once
// The comma-separated field parsers shared by the configuration and flight-log readers
// (defined with the configuration reader, whose scans they share).

#include <cstdint>
#include <string>

namespace aeroquilt {

// Copies field `field` (counted from 1) of a comma-separated line into `destination`.
void parse_text_field(const std::string& line, int field, std::string& destination);

// Reads a number from the first 25 characters of `text` ("Could not find number.\n" and 0 when
// none).
double parse_number(const char* text);

// Reads the exponent after an "e" from the first 10 characters of `text`.
int32_t parse_exponent(const char* text);

}  // namespace aeroquilt
