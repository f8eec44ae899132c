#include "components/task_tray.h"

#include <QCoreApplication>
#include <QCursor>
#include <algorithm>
#include <utility>
#include <vector>

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
    if (trayIcon_ == nullptr) {
        trayIcon_ = new QSystemTrayIcon(this);
        connect(trayIcon_, &QSystemTrayIcon::activated, this, &TTaskTray::Activated);
    }
    trayIcon_->setIcon(icon_);
    trayIcon_->setToolTip(tipString_);  // the whole text: no fixed-size field to cut it to
    if (!added_) {
        trayIcon_->show();
        if (!trayIcon_->isVisible()) throw EInvalidOperation("タスクトレイに登録できません");
        wasAvailable_ = Available();
        watch_.start();
    }
    added_ = true;
    ++updateCount_;
}

void TTaskTray::DeleteIcon() {
    if (added_ && trayIcon_ != nullptr) trayIcon_->hide();
    watch_.stop();
    added_ = false;
    registered_ = false;
}

void TTaskTray::CheckAvailability() {
    const bool available = Available();
    if (available == wasAvailable_) return;
    wasAvailable_ = available;
    emit AvailabilityChanged(available);
}

void TTaskTray::Activated(QSystemTrayIcon::ActivationReason reason) {
    const QPoint at = QCursor::pos();
    if (trayBusy || !IdTaken(iconID_, nullptr)) return;
    TBusyGuard busy;
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
}

void TTaskTray::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    // Let what is waiting (a menu item's repaint, a closing popup) be handled first.
    QCoreApplication::processEvents();
    if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
    // exec: the chosen item's handler runs before it returns, like a modal menu.
    if (button == TMouseButton::mbLeft && popupMenuL_)
        popupMenuL_->exec(QPoint(x, y));
    else if (button == TMouseButton::mbRight && popupMenuR_)
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
