// The order of names in the file list, in folder loads and in velmora-cli: runs of digits
// compare by their value ("Part 2" before "Part 10"); every other byte compares as an
// unsigned byte, so case and punctuation keep their byte order ("B" before "a"). Plain C++
// over UTF-8 bytes: multi-byte characters keep their code-point order that way.
#pragma once

#include <string_view>

namespace velmora {

// -1, 0 or 1. Digit runs are compared without parsing them (any length works): leading zeros
// are skipped, the longer remaining run is the larger, equal lengths compare digit by digit.
// Names that differ only in leading zeros ("Track 007", "Track 7") rank equal by value and
// are then put in byte order, so the result is 0 only for equal byte strings.
int NaturalCompare(std::string_view a, std::string_view b);

// Byte order, case-sensitive: what the list sorts by when numbers are not compared by value.
int ByteCompare(std::string_view a, std::string_view b);

// NaturalCompare when `natural`, else ByteCompare.
inline int CompareNames(std::string_view a, std::string_view b, bool natural) {
    return natural ? NaturalCompare(a, b) : ByteCompare(a, b);
}

}  // namespace velmora
