#include "filelist/natural_compare.h"

#include <cstring>

namespace velmora {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// Compares the digit runs starting at a[i] and b[j] by value and moves both indexes past them.
int CompareDigitRuns(std::string_view a, size_t& i, std::string_view b, size_t& j) {
    while (i < a.size() && a[i] == '0') ++i;
    while (j < b.size() && b[j] == '0') ++j;
    const size_t aStart = i;
    const size_t bStart = j;
    while (i < a.size() && IsDigit(a[i])) ++i;
    while (j < b.size() && IsDigit(b[j])) ++j;
    const size_t aLength = i - aStart;
    const size_t bLength = j - bStart;
    if (aLength != bLength) return aLength < bLength ? -1 : 1;
    // Same count of significant digits: the first differing digit decides.
    return Sign(a.substr(aStart, aLength).compare(b.substr(bStart, bLength)));
}

}  // namespace

int ByteCompare(std::string_view a, std::string_view b) {
    // std::string_view compares through char_traits<char>, whose compare is memcmp-like:
    // bytes as unsigned values.
    return Sign(a.compare(b));
}

int NaturalCompare(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            if (const int r = CompareDigitRuns(a, i, b, j)) return r;
            continue;
        }
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[j]);
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    const bool aLeft = i < a.size();
    const bool bLeft = j < b.size();
    if (aLeft != bLeft) return aLeft ? 1 : -1;
    // Equal by value ("007" and "7"): the bytes break the tie, so the order is total.
    return ByteCompare(a, b);
}

}  // namespace velmora
