// TTaskTray: an icon with a tip text in the desktop's notification area that opens one popup
// menu on the left button and another on the right, and reports the icon's button events.
// Where a StatusNotifierWatcher is on the session bus the icon is a StatusNotifierItem whose
// host draws both menus as one (the right one's lines first); otherwise it is Qt's tray icon
// (XEmbed on X11). It moves between the two as the watcher comes and goes. Main thread only.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <utility>

namespace zentu {

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Which keys and buttons were down; only the pressed button's flag is ever set here.
using TShiftState = uint8_t;
inline constexpr TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32,
                             ssDouble = 64;

class TStatusNotifierItem;
class TTaskTray;
using TButtonDblClick = std::function<void(TTaskTray& Seft, TMouseButton button)>;
using TTrayMouseEvent = std::function<void(TTaskTray& sender, TMouseButton button, TShiftState shift, int x, int y)>;
using TTrayMouseMoveEvent = std::function<void(TTaskTray& sender, TShiftState shift, int x, int y)>;
using TTrayNotifyEvent = std::function<void(TTaskTray& sender)>;
using TTrayScrollEvent = std::function<void(TTaskTray& sender, int notches)>;

class TTaskTray : public QObject {
    Q_OBJECT

public:
    // Takes the identifier after the last one handed out (1 for the first tray).
    explicit TTaskTray(QObject* owner = nullptr);
    ~TTaskTray() override;

    QMenu* PopupMenuL() const { return popupMenuL_; }
    void SetPopupMenuL(QMenu* menu);  // forgotten when the menu is destroyed
    QMenu* PopupMenuR() const { return popupMenuR_; }
    void SetPopupMenuR(QMenu* menu);
    const QString& TipString() const { return tipString_; }
    void SetTipString(const QString& tip);  // empty: no tip
    // Where the desktop's tip has a heading and lines under it (StatusNotifier hosts): these
    // instead of TipString, which stays the heading while `heading` is empty.
    void SetTipDetails(const QString& heading, const QString& text);
    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& icon);  // a null icon takes the tray icon away
    int IconID() const { return iconID_; }
    void SetIconID(int id);  // EInvalidOperation: below 1, or another tray's
    bool Registered() const { return registered_; }
    void SetRegistered(bool registered);  // EInvalidOperation: no icon

    // After the owner has set the properties: puts the icon up when it is registered.
    void Loaded();

    // Whether the desktop has a notification area. Without one the icon cannot be seen, and
    // the owner should show its window instead.
    static bool TrayAvailable();
    // The same for this tray (a StatusNotifier host, or else that), through the question
    // tests can replace.
    bool Available() const;
    void SetAvailabilityProbe(std::function<bool()> probe) { probe_ = std::move(probe); }
    // Whether the icon is up (added), and how often it was added or brought up to date.
    bool Added() const { return added_; }
    int UpdateCount() const { return updateCount_; }
    QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
    // The StatusNotifierItem; null where there is no session bus or no display.
    TStatusNotifierItem* StatusNotifierItem() const { return item_; }

    TButtonDblClick OnDblClick;
    TTrayMouseMoveEvent OnMouseMove;
    TTrayMouseEvent OnMouseDown;
    TTrayMouseEvent OnMouseUp;
    // The middle button went down on the icon: what the left and right buttons have in their
    // menus, the middle one has here.
    TTrayNotifyEvent OnMiddleClick;
    // The desktop asks for the program itself (a StatusNotifier host's Activate: a double
    // click on GNOME, a left click on panels that open no menu).
    TTrayNotifyEvent OnActivate;
    // The wheel on the icon, in notches: up positive.
    TTrayScrollEvent OnScroll;

signals:
    // While the icon is up, the notification area appeared (a panel that starts later; Qt
    // puts the icon into it) or went away. Looked at twice a second: Qt does not tell.
    void AvailabilityChanged(bool available);

public slots:
    // What the desktop reports of the icon: a left press (Trigger), a right press (Context),
    // a middle click or a double click. Ignored while any tray is still handling one.
    void Activated(QSystemTrayIcon::ActivationReason reason);

protected:
    virtual void DeleteIcon();
    virtual void UpdateIcon();
    virtual void DblClick(TMouseButton button);
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);

private:
    void CheckAvailability();
    // Puts the icon where it is seen now: the StatusNotifierItem while a watcher is there,
    // Qt's tray icon otherwise.
    void Place();
    // An event of the icon's, ignored while any tray is still handling one.
    void Dispatch(const std::function<void()>& handle);
    void MenusChanged();

    QPointer<QMenu> popupMenuL_;
    QPointer<QMenu> popupMenuR_;
    QString tipString_;
    QIcon icon_;
    int iconID_ = 0;
    bool registered_ = false;
    bool added_ = false;
    int updateCount_ = 0;
    QSystemTrayIcon* trayIcon_ = nullptr;
    TStatusNotifierItem* item_ = nullptr;
    QString tipHeading_, tipText_;
    std::function<bool()> probe_;
    QTimer watch_;
    bool wasAvailable_ = false;
};

}  // namespace zentu
