// The Help menu's commands and the Options command of the main window: Help Content (F1),
// Download, Email Support, Online Support, About, and Options (Ctrl+O).
#pragma once

#include <QString>

#include <functional>

namespace velmora {

class CZEPHDlg;

// The help document: Help.html beside the executable, else where an installed tree keeps it
// (<prefix>/share/doc/velmora/Help.html beside <prefix>/bin). `exeFolder` is the executable's
// folder; the first candidate is returned when neither exists.
QString HelpFilePath(const QString& exeFolder);

// The target each Help command opens (empty for commands that open no target).
QString HelpCommandTarget(int command, const QString& exeFolder);

// How the Help commands open their targets; tests replace it. The result is ignored.
std::function<void(const QString& target)>& HelpOpener();

// Routes Options and the Help commands of `dlg` to their handlers.
void RegisterOptionsAndHelpCommands(CZEPHDlg& dlg);

}  // namespace velmora
