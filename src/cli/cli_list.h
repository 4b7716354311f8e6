// `velmora-cli list [--recursive] PATH...`: the file list's rows as tab-separated text.
#pragma once

#include <QString>

namespace velmora::cli {

extern const char* const kListUsage;

// A cell as one field of a tab-separated line: tabs and line breaks become blanks.
QString TabSafeCell(const QString& text);

}  // namespace velmora::cli
