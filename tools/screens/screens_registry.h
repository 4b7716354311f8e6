// The registry of windows velmora-screens renders. A render function builds a window in a
// representative state and returns it; the tool shows it offscreen, lets pending events run
// and writes what it shows to <name>.png.
//
//   VELMORA_SCREEN(conv_prog_running) { auto w = std::make_unique<...>(); ...; return w; }
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace velmora::screens {

using RenderFunction = std::function<std::unique_ptr<QWidget>()>;

struct Screen {
    const char* name;
    RenderFunction render;
};

std::vector<Screen>& Registry();

struct Registrar {
    Registrar(const char* name, RenderFunction fn) { Registry().push_back({name, std::move(fn)}); }
};

// Lets queued work (posted reports, timers) run for `ms` milliseconds.
void Settle(int ms = 50);

// A throwaway home with a few music folders, made on first use: HOME and XDG_RUNTIME_DIR
// point into it, so the pictures never show the real user's folders.
QString ScratchHome();

}  // namespace velmora::screens

#define VELMORA_SCREEN(name)                                                                 \
    static std::unique_ptr<QWidget> RenderScreen_##name();                                    \
    static const ::velmora::screens::Registrar registrar_##name(#name, &RenderScreen_##name); \
    static std::unique_ptr<QWidget> RenderScreen_##name()
