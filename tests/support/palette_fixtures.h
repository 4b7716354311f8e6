// Dark palettes as desktops hand them out, and the contrast of two colours as the accessibility
// guidelines measure it (1:1 to 21:1; 4.5:1 is the floor for body text).
#pragma once

#include <QColor>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <vector>

namespace velmora::testing {

inline double RelativeLuminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

inline double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a), lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

inline QPalette MakePalette(QColor window, QColor base, QColor text, QColor highlight) {
    QPalette p;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, base.lighter(110));
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::Highlight, highlight);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    return p;
}

// Adwaita dark and Breeze Dark, by their published colours.
inline std::vector<QPalette> DarkPalettes() {
    return {MakePalette(QColor(0x35, 0x35, 0x35), QColor(0x2d, 0x2d, 0x2d), QColor(0xee, 0xee, 0xec), QColor(0x15, 0x53, 0x9e)),
            MakePalette(QColor(0x2a, 0x2e, 0x32), QColor(0x1b, 0x1e, 0x20), QColor(0xfc, 0xfc, 0xfc), QColor(0x3d, 0xae, 0xe9))};
}

}  // namespace velmora::testing
