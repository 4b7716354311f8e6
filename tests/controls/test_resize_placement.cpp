// Window placement: the 44-byte record in the profile, first-start centring, and the
// show state a saved window comes back in.
#include "controls/resize_dlg.h"
#include "controls/window_placement.h"
#include "settings/application_profile.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <memory>

using namespace velmora;

namespace {

const QString kKey = QStringLiteral("{B827E556-AD4D-480E-98F0-2BC7A581B10A}");
const QString kSection = QStringLiteral("Position");

class PlacedDlg : public CResizeDlg {
public:
    explicit PlacedDlg(ApplicationProfile* profile) {
        SetProfile(profile);
        resize(420, 260);
        InitResizeDlg();
        SetPlacementKey(kKey);
    }
};

struct PlacementTest : ::testing::Test {
    velmora::testing::TempDir dir;
    QString path = QString::fromStdString((dir / "profile.conf").string());
    std::unique_ptr<ApplicationProfile> profile = std::make_unique<ApplicationProfile>(ApplicationProfile::AtPath(path));
};

}  // namespace

TEST(WindowPlacementRecord, SerialisesTo44LittleEndianBytes) {
    WindowPlacement wp;
    wp.flags = 2;
    wp.showCmd = 3;
    wp.setNormalRect(QRect(10, 20, 300, 200));
    const QByteArray b = wp.Serialize();
    ASSERT_EQ(b.size(), 44);
    EXPECT_EQ(static_cast<unsigned char>(b[0]), 44);  // length
    EXPECT_EQ(static_cast<unsigned char>(b[4]), 2);   // flags
    EXPECT_EQ(static_cast<unsigned char>(b[8]), 3);   // show command
    EXPECT_EQ(static_cast<unsigned char>(b[28]), 10); // normal left
    EXPECT_EQ(static_cast<unsigned char>(b[36]), 54); // normal right 310 = 0x136
    EXPECT_EQ(static_cast<unsigned char>(b[37]), 1);
    const auto back = WindowPlacement::Deserialize(b);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, wp);
    EXPECT_EQ(back->normalRect(), QRect(10, 20, 300, 200));
    // Too short, or an empty rectangle: not a placement.
    EXPECT_FALSE(WindowPlacement::Deserialize(b.left(43)).has_value());
    WindowPlacement empty;
    EXPECT_FALSE(WindowPlacement::Deserialize(empty.Serialize()).has_value());
    // Longer values: the first 44 bytes count.
    EXPECT_TRUE(WindowPlacement::Deserialize(b + QByteArray(8, 'x')).has_value());
}

TEST(WindowPlacementRecord, ShowStateOverride) {
    WindowPlacement wp;
    wp.showCmd = WindowPlacement::kShowMinimized;
    EXPECT_EQ(AdjustShowCommand(wp, 0), WindowPlacement::kShowNormal);
    wp.flags = WindowPlacement::kRestoreToMaximized;
    EXPECT_EQ(AdjustShowCommand(wp, 0), WindowPlacement::kShowMaximized);
    // The set-minimised-position flag alone must not bring the window back minimised.
    wp.flags = WindowPlacement::kSetMinPosition;
    EXPECT_EQ(AdjustShowCommand(wp, 0), WindowPlacement::kShowNormal);
    EXPECT_EQ(AdjustShowCommand(wp, 1), WindowPlacement::kShowMinimized);
    EXPECT_EQ(AdjustShowCommand(wp, 2), WindowPlacement::kShowNormal);
    EXPECT_EQ(AdjustShowCommand(wp, 3), WindowPlacement::kShowMaximized);
    EXPECT_EQ(AdjustShowCommand(wp, 4), WindowPlacement::kShowMinimized);
    wp.showCmd = WindowPlacement::kShowMaximized;
    EXPECT_EQ(AdjustShowCommand(wp, 0), WindowPlacement::kShowMaximized);
}

TEST_F(PlacementTest, FirstStartIsCentredOnThePrimaryScreenAtTemplateSize) {
    PlacedDlg d(profile.get());
    ASSERT_TRUE(d.RestorePlacement(&d, kKey, kSection));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(d.size(), QSize(420, 260));
    EXPECT_EQ(d.geometry().left(), (screen.width() - 420) / 2);
    EXPECT_EQ(d.geometry().top(), (screen.height() - 260) / 2);
}

TEST_F(PlacementTest, CloseAndReopenRestoresTheSavedGeometry) {
    const QRect chosen(37, 41, 515, 333);
    {
        PlacedDlg d(profile.get());
        d.RestorePlacement(&d, kKey, kSection);
        d.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
        d.setGeometry(chosen);
        QApplication::processEvents();
        d.hide();
    }  // destruction saves under the key
    const auto bytes = profile->GetProfileBinary(kSection, kKey);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 44);
    const auto wp = WindowPlacement::Deserialize(*bytes);
    ASSERT_TRUE(wp.has_value());
    EXPECT_EQ(wp->normalRect(), chosen);
    EXPECT_EQ(wp->showCmd, WindowPlacement::kShowNormal);
    EXPECT_EQ(profile->GetProfileInt(kSection, QString(), -7), 0);  // the override is written back

    // A fresh profile object on the same file sees the same record.
    auto reopened = std::make_unique<ApplicationProfile>(ApplicationProfile::AtPath(path));
    PlacedDlg again(reopened.get());
    again.RestorePlacement(&again, kKey, kSection);
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.geometry(), chosen);
    EXPECT_FALSE(again.isMinimized());
    again.SetPlacementKey(QString());  // nothing more to save
}

TEST_F(PlacementTest, SavedMinimisedReopensNormalOrMaximised) {
    WindowPlacement wp;
    wp.showCmd = WindowPlacement::kShowMinimized;
    wp.setNormalRect(QRect(50, 60, 400, 250));
    ASSERT_TRUE(profile->WriteProfileBinary(kSection, kKey, wp.Serialize()));
    {
        PlacedDlg d(profile.get());
        d.SetPlacementKey(QString());
        d.RestorePlacement(&d, kKey, kSection);
        d.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
        EXPECT_FALSE(d.isMinimized());
        EXPECT_FALSE(d.isMaximized());
        EXPECT_EQ(d.geometry(), QRect(50, 60, 400, 250));
    }
    wp.flags = WindowPlacement::kRestoreToMaximized;
    ASSERT_TRUE(profile->WriteProfileBinary(kSection, kKey, wp.Serialize()));
    {
        PlacedDlg d(profile.get());
        d.SetPlacementKey(QString());
        d.RestorePlacement(&d, kKey, kSection);
        d.show();
        QApplication::processEvents();
        EXPECT_TRUE(d.isMaximized());
        EXPECT_FALSE(d.isMinimized());
    }
}

TEST_F(PlacementTest, AMinimisedWindowIsSavedMinimisedWithItsNormalRectangle) {
    PlacedDlg d(profile.get());
    d.RestorePlacement(&d, kKey, kSection);
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.setGeometry(QRect(70, 80, 450, 300));
    QApplication::processEvents();
    d.showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(d.SavePlacement(&d, kKey, kSection));
    const auto wp = WindowPlacement::Deserialize(*profile->GetProfileBinary(kSection, kKey));
    ASSERT_TRUE(wp.has_value());
    EXPECT_EQ(wp->showCmd, WindowPlacement::kShowMinimized);
    EXPECT_EQ(wp->normalRect().size(), QSize(450, 300));
    d.SetPlacementKey(QString());
}

TEST_F(PlacementTest, ShortOrForeignValueFallsBackToTheDefault) {
    ASSERT_TRUE(profile->WriteProfileBinary(kSection, kKey, QByteArray(20, '\x7f')));
    PlacedDlg d(profile.get());
    d.SetPlacementKey(QString());
    ASSERT_TRUE(d.RestorePlacement(&d, kKey, kSection));
    EXPECT_EQ(d.size(), QSize(420, 260));
    EXPECT_EQ(d.placementStore().placement, d.placementStore().defaultPlacement);
}
