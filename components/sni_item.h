// TStatusNotifierItem: the tray icon as today's desktops show it, a StatusNotifierItem on the
// session bus (org.kde.StatusNotifierItem-<pid>-<n> at /StatusNotifierItem) whose menu,
// exported at /MenuBar, the host draws. It follows the StatusNotifierWatcher coming and
// going, registering again with every new one. The host's clicks come out as signals; the
// D-Bus calls return before anything is done about them. Main thread only.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;

namespace zentu {

class TDBusMenu;
class TStatusNotifierItemAdaptor;

struct TIconPixmap {  // (iiay): ARGB32, network byte order
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using TIconPixmapList = QList<TIconPixmap>;
struct TToolTip {  // (sa(iiay)ss)
    QString iconName;
    TIconPixmapList pixmaps;
    QString title;
    QString text;
};

class TStatusNotifierItem final : public QObject {
    Q_OBJECT

public:
    // On a session bus connection of its own (`connectionName`), so that every item of the
    // program has its own object paths.
    explicit TStatusNotifierItem(const QString& connectionName, QObject* parent = nullptr);
    ~TStatusNotifierItem() override;

    // Whether a StatusNotifierWatcher is on the bus.
    bool WatcherPresent() const { return watcherPresent_; }
    // Whether a host shows the item: a watcher that did not refuse it and has a host.
    bool Hosted() const { return watcherPresent_ && !refused_ && hostRegistered_; }
    bool Shown() const { return shown_; }

    // Puts the item on the bus under number `number` and registers it with the watcher.
    void Show(int number);
    void Hide();
    void SetIcon(const QIcon& icon);
    void SetToolTip(const QString& title, const QString& text);
    // The menu the host shows: these menus one after the other.
    void SetMenus(const QList<QMenu*>& sections);

    // What the properties read.
    QString IconName() const { return iconName_; }
    const TIconPixmapList& IconPixmap() const { return pixmaps_; }
    const TToolTip& ToolTip() const { return toolTip_; }
    // Whether the watcher's host counts the wheel turned down as positive (GNOME Shell).
    bool WheelDownPositive() const { return wheelDownPositive_; }

signals:
    // The host's requests, at its coordinates.
    void Activated(int x, int y);
    void SecondaryActivated(int x, int y);
    void ContextMenuRequested(int x, int y);
    void Scrolled(int delta, const QString& orientation);
    // The watcher came or went, refused the item, or its host came.
    void StateChanged();

private slots:
    void HostRegistered();

private:
    void WatcherOwnerChanged(const QString& newOwner);
    void NoteWheelConvention(const QString& watcherOwner);
    void Register();
    void ExportMenu();

    QDBusConnection bus_;
    TStatusNotifierItemAdaptor* adaptor_ = nullptr;
    QDBusServiceWatcher* watcher_ = nullptr;
    QString serviceName_;
    bool watcherPresent_ = false;
    int watcherGeneration_ = 0;  // one more with each owner of the watcher's name
    bool refused_ = false;
    bool wheelDownPositive_ = false;
    bool hostRegistered_ = true;  // until the watcher says otherwise
    bool shown_ = false;
    QList<QMenu*> sections_;
    TDBusMenu* menu_ = nullptr;
    qint64 iconKey_ = 0;
    QString iconName_;
    TIconPixmapList pixmaps_;
    TToolTip toolTip_;
};

// org.kde.StatusNotifierItem on the item's object.
class TStatusNotifierItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(QList<zentu::TIconPixmap> IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ None)
    Q_PROPERTY(QList<zentu::TIconPixmap> OverlayIconPixmap READ NoPixmap)
    Q_PROPERTY(QString AttentionIconName READ None)
    Q_PROPERTY(QList<zentu::TIconPixmap> AttentionIconPixmap READ NoPixmap)
    Q_PROPERTY(QString AttentionMovieName READ None)
    Q_PROPERTY(zentu::TToolTip ToolTip READ ToolTip)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)

public:
    explicit TStatusNotifierItemAdaptor(TStatusNotifierItem& item);
    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const { return QStringLiteral("zentu"); }
    QString Title() const { return QStringLiteral("Zentu"); }
    QString Status() const { return QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    QString IconName() const { return item_.IconName(); }
    TIconPixmapList IconPixmap() const { return item_.IconPixmap(); }
    QString None() const { return {}; }
    TIconPixmapList NoPixmap() const { return {}; }
    TToolTip ToolTip() const { return item_.ToolTip(); }
    // A click that would activate the item opens its menu instead.
    bool ItemIsMenu() const { return true; }
    QDBusObjectPath Menu() const;

public slots:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString& orientation);
    // The token of the click that is about to call Activate (GNOME sends one): the window the
    // click shows may take the focus with it.
    void ProvideXdgActivationToken(const QString& token);

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    TStatusNotifierItem& item_;
};

QDBusArgument& operator<<(QDBusArgument& argument, const TIconPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, TIconPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const TToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, TToolTip& toolTip);

}  // namespace zentu

Q_DECLARE_METATYPE(zentu::TIconPixmap)
Q_DECLARE_METATYPE(zentu::TToolTip)
