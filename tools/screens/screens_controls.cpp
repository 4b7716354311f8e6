// The controls layer: a resizable dialog with each layout mode, shown larger than its
// template so the rules are visible, and the splitter with both panes.
#include "screens_registry.h"

#include "controls/dialog_units.h"
#include "controls/resize_dlg.h"
#include "controls/s_splitter.h"

#include <QListWidget>
#include <QTreeWidget>

namespace {

constexpr velmora::TemplateItem kDemo[] = {
    {10, velmora::TemplateKind::GroupBox, "Stretches with the width", 7, 4, 226, 30},
    {11, velmora::TemplateKind::Static, "Centred (mode 3)", 90, 16, 60, 10},
    {12, velmora::TemplateKind::PushButton, "Left", 20, 130, 48, 14},
    {13, velmora::TemplateKind::PushButton, "Middle", 96, 130, 48, 14},
    {14, velmora::TemplateKind::PushButton, "Right", 172, 130, 48, 14},
};

class DemoDialog : public velmora::CResizeDlg {
public:
    DemoDialog() {
        setWindowTitle(QStringLiteral("Resizable dialog"));
        const velmora::DialogUnits units(font());
        RegisterControls(velmora::BuildTemplate(this, kDemo, units));
        auto* list = new QListWidget(this);
        list->addItems({QStringLiteral("stretches both ways (1, 1, 1, 1)"), QStringLiteral("second row")});
        list->setGeometry(units.ToPixels(QRect(7, 40, 226, 84)));
        RegisterControl(20, list);
        resize(units.ToPixels(QSize(240, 150)));
        InitResizeDlg();
        AddControl(10, 1, 1, 0, 0);
        AddControl(11, 3, 3, 0, 0);
        AddControl(20, 1, 1, 1, 1);
        for (int id : {12, 13, 14}) AddControl(id, 3, 3, 2, 2);
    }
};

}  // namespace

VELMORA_SCREEN(resize_dlg) {
    auto dlg = std::make_unique<DemoDialog>();
    dlg->show();
    velmora::screens::Settle();
    dlg->resize(dlg->width() + 160, dlg->height() + 80);
    return dlg;
}

VELMORA_SCREEN(splitter) {
    auto window = std::make_unique<QWidget>();
    window->resize(640, 320);
    auto* tree = new QTreeWidget(window.get());
    tree->setHeaderHidden(true);
    auto* home = new QTreeWidgetItem(tree, {QStringLiteral("Music")});
    new QTreeWidgetItem(home, {QStringLiteral("Albums")});
    auto* list = new QListWidget(window.get());
    list->addItems({QStringLiteral("01 - Opening.mp3"), QStringLiteral("02 - Theme.mp3")});
    auto* splitter = new velmora::CSSplitter(window.get());
    splitter->CreateSplitter(0x50000001, window.get(), tree, list, 103, QRect(0, 0, 640, 320), 100, 150);
    return window;
}
