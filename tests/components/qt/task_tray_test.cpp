#include "components/task_tray.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QPixmap>
#include <QTimer>
#include <memory>

#include "platform/exceptions.h"

namespace zentu {
namespace {

QIcon SomeIcon(Qt::GlobalColor color = Qt::red) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const EInvalidOperation& e) {
        return e.what();
    }
    return "(no EInvalidOperation)";
}

TEST(TaskTray, IdentifiersAreHandedOutInTurnAndKeptUnique) {
    auto first = std::make_unique<TTaskTray>();
    auto second = std::make_unique<TTaskTray>();
    EXPECT_EQ(first->IconID(), 1);
    EXPECT_EQ(second->IconID(), 2);
    EXPECT_EQ(ErrorOf([&] { second->SetIconID(1); }), "同じアイコン識別子が有ります");
    EXPECT_EQ(ErrorOf([&] { second->SetIconID(0); }), "0以下は指定できません");
    EXPECT_EQ(second->IconID(), 2);
    second->SetIconID(2);  // its own: nothing

    // The next one follows the last created, passing over a number taken meanwhile.
    first->SetIconID(3);
    TTaskTray third;
    EXPECT_EQ(third.IconID(), 4);
    second.reset();
    first.reset();
    TTaskTray fourth;
    EXPECT_EQ(fourth.IconID(), 5);
}

TEST(TaskTray, RegisteringNeedsAnIconAndPutsItUp) {
    TTaskTray tray;
    EXPECT_FALSE(tray.Registered());
    EXPECT_EQ(ErrorOf([&] { tray.SetRegistered(true); }), "アイコンが指定されていません");
    EXPECT_FALSE(tray.Registered());
    tray.SetIcon(SomeIcon());
    EXPECT_FALSE(tray.Added());  // not wanted yet

    tray.SetRegistered(true);
    ASSERT_TRUE(tray.Added());
    ASSERT_NE(tray.TrayIcon(), nullptr);
    EXPECT_TRUE(tray.TrayIcon()->isVisible());
    EXPECT_EQ(TTaskTray::TrayAvailable(), QSystemTrayIcon::isSystemTrayAvailable());

    // A new identifier while registered: down under the old, up under the new.
    int updates = tray.UpdateCount();
    tray.SetIconID(7);
    EXPECT_TRUE(tray.Registered());
    EXPECT_TRUE(tray.Added());
    EXPECT_EQ(tray.UpdateCount(), updates + 1);

    tray.SetIcon(SomeIcon(Qt::blue));
    EXPECT_EQ(tray.UpdateCount(), updates + 2);
    tray.SetIcon(tray.Icon());  // the same icon: nothing
    EXPECT_EQ(tray.UpdateCount(), updates + 2);
    tray.SetIcon(QIcon());  // no icon: taken away
    EXPECT_FALSE(tray.Added());
    EXPECT_FALSE(tray.Registered());
    EXPECT_FALSE(tray.TrayIcon()->isVisible());
}

TEST(TaskTray, TheTipIsSentOnlyWhenItChangesAndNeverCut) {
    TTaskTray tray;
    tray.SetIcon(SomeIcon());
    tray.SetRegistered(true);
    int updates = tray.UpdateCount();
    QString longTip = QString::fromUtf8("/音楽/") + QString(300, QChar('x')) + ".mp3";
    tray.SetTipString(longTip);
    EXPECT_EQ(tray.UpdateCount(), updates + 1);
    EXPECT_EQ(tray.TrayIcon()->toolTip(), longTip);
    tray.SetTipString(longTip);
    EXPECT_EQ(tray.UpdateCount(), updates + 1);
    tray.SetTipString("");
    EXPECT_TRUE(tray.TrayIcon()->toolTip().isEmpty());

    // Not registered: remembered, sent when the icon goes up.
    tray.SetRegistered(false);
    int before = tray.UpdateCount();
    tray.SetTipString("later");
    EXPECT_EQ(tray.UpdateCount(), before);
    tray.SetRegistered(true);
    EXPECT_EQ(tray.TrayIcon()->toolTip(), "later");
}

TEST(TaskTray, ButtonsOpenTheirMenusAndEventsWhileAMenuIsOpenAreIgnored) {
    TTaskTray tray;
    tray.SetIcon(SomeIcon());
    tray.SetRegistered(true);
    QMenu left, right;
    QAction* item = right.addAction("タイトル");
    int itemRuns = 0;
    QObject::connect(item, &QAction::triggered, [&] { ++itemRuns; });
    tray.SetPopupMenuL(&left);
    tray.SetPopupMenuR(&right);

    std::vector<std::pair<TMouseButton, TShiftState>> downs;
    tray.OnMouseDown = [&](TTaskTray& sender, TMouseButton button, TShiftState shift, int x, int y) {
        EXPECT_EQ(&sender, &tray);
        EXPECT_EQ(QPoint(x, y), QCursor::pos());
        downs.emplace_back(button, shift);
    };
    int leftShown = 0, rightShown = 0;
    QObject::connect(&left, &QMenu::aboutToShow, [&] {
        ++leftShown;
        QTimer::singleShot(0, &left, [&] { left.close(); });
    });
    // While the right menu is open another press arrives; it must be ignored. Then an item
    // is chosen, and its handler runs before the press's handling returns.
    QObject::connect(&right, &QMenu::aboutToShow, [&] {
        ++rightShown;
        QTimer::singleShot(0, &right, [&] {
            emit tray.TrayIcon()->activated(QSystemTrayIcon::Trigger);
            item->trigger();
            right.close();
        });
    });

    emit tray.TrayIcon()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(rightShown, 1);
    EXPECT_EQ(itemRuns, 1);
    EXPECT_EQ(leftShown, 0);
    ASSERT_EQ(downs.size(), 1u);
    EXPECT_EQ(downs[0].first, TMouseButton::mbRight);
    EXPECT_EQ(downs[0].second, ssRight);

    emit tray.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(leftShown, 1);
    ASSERT_EQ(downs.size(), 2u);
    EXPECT_EQ(downs[1].first, TMouseButton::mbLeft);
    EXPECT_EQ(downs[1].second, ssLeft);

    // The middle button has no menu but its own notification, which the others never give.
    int middles = 0;
    tray.OnMiddleClick = [&](TTaskTray& sender) {
        EXPECT_EQ(&sender, &tray);
        ++middles;
    };
    emit tray.TrayIcon()->activated(QSystemTrayIcon::MiddleClick);
    ASSERT_EQ(downs.size(), 3u);
    EXPECT_EQ(downs[2].first, TMouseButton::mbMiddle);
    EXPECT_EQ(middles, 1);
    EXPECT_EQ(leftShown + rightShown, 2);
    emit tray.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(middles, 1);

    std::vector<TMouseButton> doubles;
    tray.OnDblClick = [&](TTaskTray&, TMouseButton button) { doubles.push_back(button); };
    emit tray.TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(doubles, std::vector<TMouseButton>{TMouseButton::mbLeft});
    EXPECT_EQ(downs.size(), 4u);
}

TEST(TaskTray, ADestroyedMenuIsForgotten) {
    TTaskTray tray;
    tray.SetIcon(SomeIcon());
    tray.SetRegistered(true);
    auto* menu = new QMenu;
    tray.SetPopupMenuL(menu);
    tray.SetPopupMenuR(menu);
    delete menu;
    EXPECT_EQ(tray.PopupMenuL(), nullptr);
    EXPECT_EQ(tray.PopupMenuR(), nullptr);
    int downs = 0;
    tray.OnMouseDown = [&](TTaskTray&, TMouseButton, TShiftState, int, int) { ++downs; };
    emit tray.TrayIcon()->activated(QSystemTrayIcon::Trigger);  // no menu to show: no crash
    EXPECT_EQ(downs, 1);
}

}  // namespace
}  // namespace zentu
