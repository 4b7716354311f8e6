// Hands a file, folder or address to the desktop's program for it, and says so when no program
// could open it: a desktop without xdg-open, or one whose xdg-open found no program or saw the
// program fail, otherwise leaves the user with nothing happening at all.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace velmora {

// Opens `target` (a local path or a URL). Through xdg-open where the desktop has it, whose exit
// status tells whether a program took the target; else through Qt's desktop services. When
// nothing could open it, `failed` runs on the UI thread (later, when xdg-open reports), or,
// without one, "No program could open %s." shows over `owner`. Returns false when it failed at
// once.
bool OpenWithDesktop(const QString& target, QWidget* owner, std::function<void()> failed = {});

// The message box "No program could open %s." over `owner`.
void SayNoProgramCouldOpen(QWidget* owner, const QString& target);

}  // namespace velmora
