#include "components/task_tray.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <algorithm>
#include <utility>
#include <vector>

#include "components/sni_item.h"
#include "platform/exceptions.h"

namespace zentu {

namespace {

// Every tray of the program in creation order, with its identifier.
std::vector<std::pair<int, TTaskTray*>>& Registry() {
    static std::vector<std::pair<int, TTaskTray*>> registry;
    return registry;
}

// Set while a tray event is handled (a popup menu is open): further events are ignored.
bool trayBusy = false;

class TBusyGuard {
public:
    TBusyGuard() { trayBusy = true; }
    ~TBusyGuard() { trayBusy = false; }
    TBusyGuard(const TBusyGuard&) = delete;
    TBusyGuard& operator=(const TBusyGuard&) = delete;
};

bool IdTaken(int id, const TTaskTray* except) {
    auto& registry = Registry();
    return std::any_of(registry.begin(), registry.end(),
                       [&](const auto& line) { return line.first == id && line.second != except; });
}

// The offscreen and minimal platforms have no desktop to show an icon on.
bool HasDesktop() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// On Wayland a menu with no window of ours under it would be a window of its own, placed
// anywhere: there the host's menu is the only one.
bool PopupsAllowed() { return !QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

}  // namespace

TTaskTray::TTaskTray(QObject* owner) : QObject(owner) {
    auto& registry = Registry();
    int id = registry.empty() ? 1 : registry.back().first + 1;
    // The last line's number + 1 can be taken when identifiers were changed: go on to a free one.
    while (IdTaken(id, nullptr)) ++id;
    iconID_ = id;
    registry.emplace_back(id, this);
    watch_.setInterval(500);
    connect(&watch_, &QTimer::timeout, this, &TTaskTray::CheckAvailability);
    if (!HasDesktop()) return;
    item_ = new TStatusNotifierItem(QStringLiteral("zentu-tray-%1").arg(id), this);
    connect(item_, &TStatusNotifierItem::StateChanged, this, &TTaskTray::CheckAvailability);
    connect(item_, &TStatusNotifierItem::Activated, this, [this](int, int) {
        Dispatch([this] {
            if (OnActivate) OnActivate(*this);
        });
    });
    connect(item_, &TStatusNotifierItem::SecondaryActivated, this,
            [this](int x, int y) { Dispatch([=, this] { MouseDown(TMouseButton::mbMiddle, ssMiddle, x, y); }); });
    connect(item_, &TStatusNotifierItem::ContextMenuRequested, this,
            [this](int x, int y) { Dispatch([=, this] { MouseDown(TMouseButton::mbRight, ssRight, x, y); }); });
    connect(item_, &TStatusNotifierItem::Scrolled, this, [this](int delta, const QString& orientation) {
        if (delta == 0 || orientation.compare(QLatin1String("vertical"), Qt::CaseInsensitive) != 0) return;
        // 120 a notch (as Qt's wheel reports it); hosts that send less send a call a notch.
        const int notches = delta / 120 != 0 ? delta / 120 : (delta > 0 ? 1 : -1);
        Dispatch([=, this] {
            if (OnScroll) OnScroll(*this, notches);
        });
    });
}

TTaskTray::~TTaskTray() {
    DeleteIcon();
    auto& registry = Registry();
    registry.erase(std::remove_if(registry.begin(), registry.end(), [this](const auto& line) { return line.second == this; }),
                   registry.end());
}

void TTaskTray::Loaded() { UpdateIcon(); }

bool TTaskTray::TrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TTaskTray::SetTipString(const QString& tip) {
    if (tip == tipString_) return;
    tipString_ = tip;
    UpdateIcon();
}

void TTaskTray::SetTipDetails(const QString& heading, const QString& text) {
    if (heading == tipHeading_ && text == tipText_) return;
    tipHeading_ = heading;
    tipText_ = text;
    UpdateIcon();
}

void TTaskTray::SetPopupMenuL(QMenu* menu) {
    popupMenuL_ = menu;
    MenusChanged();
}

void TTaskTray::SetPopupMenuR(QMenu* menu) {
    popupMenuR_ = menu;
    MenusChanged();
}

void TTaskTray::MenusChanged() {
    if (item_) item_->SetMenus({popupMenuR_.data(), popupMenuL_.data()});
}

void TTaskTray::SetIcon(const QIcon& icon) {
    if (icon.cacheKey() == icon_.cacheKey()) return;
    if (icon.isNull()) {
        icon_ = QIcon();
        DeleteIcon();
        return;
    }
    icon_ = icon;
    UpdateIcon();
}

void TTaskTray::SetIconID(int id) {
    if (id < 1) throw EInvalidOperation("0以下は指定できません");
    if (id == iconID_) return;
    if (IdTaken(id, this)) throw EInvalidOperation("同じアイコン識別子が有ります");
    if (registered_) {
        DeleteIcon();
        registered_ = true;  // back under the new identifier
    }
    iconID_ = id;
    for (auto& line : Registry())
        if (line.second == this) line.first = id;
    UpdateIcon();
}

void TTaskTray::SetRegistered(bool registered) {
    if (registered == registered_) return;
    if (registered) {
        if (icon_.isNull()) throw EInvalidOperation("アイコンが指定されていません");
        registered_ = true;
        UpdateIcon();
    } else {
        DeleteIcon();
    }
}

void TTaskTray::UpdateIcon() {
    if (!registered_ || icon_.isNull()) return;
    Place();
    if (!added_) {
        wasAvailable_ = Available();
        watch_.start();
    }
    added_ = true;
    ++updateCount_;
}

void TTaskTray::Place() {
    if (item_ && item_->WatcherPresent()) {
        if (trayIcon_) trayIcon_->hide();
        item_->SetIcon(icon_);
        item_->SetToolTip(tipHeading_.isEmpty() ? tipString_ : tipHeading_, tipText_);
        item_->Show(iconID_);
        return;
    }
    if (item_) item_->Hide();
    // Qt settles once per process whether its tray icon is a StatusNotifierItem, when it is
    // first asked: never while a watcher is there, so that it stays XEmbed.
    if (trayIcon_ == nullptr) {
        trayIcon_ = new QSystemTrayIcon(this);
        connect(trayIcon_, &QSystemTrayIcon::activated, this, &TTaskTray::Activated);
    }
    if (trayIcon_->icon().cacheKey() != icon_.cacheKey()) trayIcon_->setIcon(icon_);
    // The whole text: no fixed-size field to cut it to.
    if (trayIcon_->toolTip() != tipString_) trayIcon_->setToolTip(tipString_);
    if (!trayIcon_->isVisible()) {
        trayIcon_->show();
        if (!trayIcon_->isVisible()) throw EInvalidOperation("タスクトレイに登録できません");
    }
}

void TTaskTray::DeleteIcon() {
    if (added_) {
        if (trayIcon_ != nullptr) trayIcon_->hide();
        if (item_ != nullptr) item_->Hide();
    }
    watch_.stop();
    added_ = false;
    registered_ = false;
}

bool TTaskTray::Available() const {
    if (probe_) return probe_();
    // Asking Qt while a watcher is there would make its own icon a StatusNotifierItem.
    if (item_ && item_->WatcherPresent()) return item_->Hosted();
    return TrayAvailable();
}

void TTaskTray::CheckAvailability() {
    if (!added_) return;
    try {
        Place();  // a watcher came or went
    } catch (const Exception&) {
        // Qt's icon refused: it stays down until the next look.
    }
    const bool available = Available();
    if (available == wasAvailable_) return;
    wasAvailable_ = available;
    emit AvailabilityChanged(available);
}

void TTaskTray::Dispatch(const std::function<void()>& handle) {
    if (trayBusy || !IdTaken(iconID_, nullptr)) return;
    TBusyGuard busy;
    handle();
}

void TTaskTray::Activated(QSystemTrayIcon::ActivationReason reason) {
    const QPoint at = QCursor::pos();
    Dispatch([&] {
        switch (reason) {
        case QSystemTrayIcon::Trigger:
            MouseDown(TMouseButton::mbLeft, ssLeft, at.x(), at.y());
            break;
        case QSystemTrayIcon::Context:
            MouseDown(TMouseButton::mbRight, ssRight, at.x(), at.y());
            break;
        case QSystemTrayIcon::MiddleClick:
            MouseDown(TMouseButton::mbMiddle, ssMiddle, at.x(), at.y());
            break;
        case QSystemTrayIcon::DoubleClick:
            DblClick(TMouseButton::mbLeft);
            break;
        default:
            break;
        }
    });
}

void TTaskTray::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    // Let what is waiting (a menu item's repaint, a closing popup) be handled first.
    QCoreApplication::processEvents();
    if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
    // exec: the chosen item's handler runs before it returns, like a modal menu.
    if (button == TMouseButton::mbLeft && popupMenuL_ && PopupsAllowed())
        popupMenuL_->exec(QPoint(x, y));
    else if (button == TMouseButton::mbRight && popupMenuR_ && PopupsAllowed())
        popupMenuR_->exec(QPoint(x, y));
    else if (button == TMouseButton::mbMiddle && OnMiddleClick)
        OnMiddleClick(*this);
}

void TTaskTray::MouseMove(int x, int y) {
    if (OnMouseMove) OnMouseMove(*this, 0, x, y);
}

void TTaskTray::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (OnMouseUp) OnMouseUp(*this, button, shift, x, y);
}

void TTaskTray::DblClick(TMouseButton button) {
    if (OnDblClick) OnDblClick(*this, button);
}

}  // namespace zentu
