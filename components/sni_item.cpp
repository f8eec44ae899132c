#include "components/sni_item.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QImage>
#include <QtEndian>
#include <array>

#include "components/dbus_menu.h"

namespace zentu {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kWatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuPath = QStringLiteral("/MenuBar");
// Hosts pick the nearest size they draw; the icon's own are taken, never scaled up.
constexpr std::array<int, 4> kPixmapSizes{16, 22, 32, 48};

void RegisterTypes() {
    static const bool registered = [] {
        RegisterDBusMenuTypes();
        qDBusRegisterMetaType<TIconPixmap>();
        qDBusRegisterMetaType<TIconPixmapList>();
        qDBusRegisterMetaType<TToolTip>();
        return true;
    }();
    (void)registered;
}

TIconPixmapList Pixmaps(const QIcon& icon) {
    TIconPixmapList pixmaps;
    for (int size : kPixmapSizes) {
        const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull() || (!pixmaps.isEmpty() && pixmaps.back().width >= image.width())) continue;
        TIconPixmap pixmap{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, '\0')};
        char* out = pixmap.bytes.data();
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4) qToBigEndian<quint32>(line[x], out);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

}  // namespace

TStatusNotifierItem::TStatusNotifierItem(const QString& connectionName, QObject* parent)
    : QObject(parent), bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)) {
    RegisterTypes();
    adaptor_ = new TStatusNotifierItemAdaptor(*this);
    // The installed icon by name where the theme has it; the pixmaps serve the other hosts.
    if (QIcon::hasThemeIcon(QStringLiteral("zentu"))) iconName_ = QStringLiteral("zentu");
    toolTip_.iconName = iconName_;
    if (!bus_.isConnected()) return;
    watcher_ = new QDBusServiceWatcher(kWatcherService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { WatcherOwnerChanged(owner); });
    bus_.connect(kWatcherService, kWatcherPath, kWatcherInterface, QStringLiteral("StatusNotifierHostRegistered"), this,
                 SLOT(HostRegistered()));
    watcherPresent_ = bus_.interface()->isServiceRegistered(kWatcherService);
    if (watcherPresent_) NoteWheelConvention(bus_.interface()->serviceOwner(kWatcherService));
}

void TStatusNotifierItem::NoteWheelConvention(const QString& watcherOwner) {
    // GNOME Shell's AppIndicator extension sends a positive delta for the wheel turned down,
    // where KDE, which wrote the protocol, sends one for up.
    const QDBusReply<QString> shell = bus_.interface()->serviceOwner(QStringLiteral("org.gnome.Shell"));
    wheelDownPositive_ = !watcherOwner.isEmpty() && shell.isValid() && shell.value() == watcherOwner;
}

TStatusNotifierItem::~TStatusNotifierItem() {
    Hide();
    const QString name = bus_.name();
    bus_ = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

void TStatusNotifierItem::Show(int number) {
    if (shown_ || !bus_.isConnected()) return;
    serviceName_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(number);
    ExportMenu();
    if (!bus_.registerObject(kItemPath, this, QDBusConnection::ExportAdaptors)) return;
    bus_.registerService(serviceName_);
    shown_ = true;
    Register();
}

void TStatusNotifierItem::Hide() {
    if (!shown_) return;
    // The watcher forgets an item whose name goes.
    bus_.unregisterService(serviceName_);
    bus_.unregisterObject(kItemPath);
    bus_.unregisterObject(kMenuPath);
    shown_ = false;
}

void TStatusNotifierItem::ExportMenu() {
    if (menu_ == nullptr) {
        menu_ = new TDBusMenu(sections_, this);
        new TDBusMenuAdaptor(*menu_);
    }
    bus_.registerObject(kMenuPath, menu_, QDBusConnection::ExportAdaptors);
}

void TStatusNotifierItem::SetMenus(const QList<QMenu*>& sections) {
    if (sections == sections_) return;
    sections_ = sections;
    if (menu_ == nullptr) return;
    if (shown_) bus_.unregisterObject(kMenuPath);
    delete menu_;
    menu_ = nullptr;
    if (shown_) ExportMenu();
}

void TStatusNotifierItem::SetIcon(const QIcon& icon) {
    if (icon.cacheKey() == iconKey_) return;
    iconKey_ = icon.cacheKey();
    pixmaps_ = Pixmaps(icon);
    emit adaptor_->NewIcon();
}

void TStatusNotifierItem::SetToolTip(const QString& title, const QString& text) {
    if (title == toolTip_.title && text == toolTip_.text) return;
    toolTip_.title = title;
    toolTip_.text = text;
    emit adaptor_->NewToolTip();
}

void TStatusNotifierItem::Register() {
    if (!shown_ || !watcherPresent_) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherInterface, QStringLiteral("RegisterStatusNotifierItem"));
    // By object path, so that the host takes the sender's unique name: GNOME's AppIndicator
    // extension watches a well-known name and, when the first sight of its owner crosses the
    // reading of the properties, forgets Id and Menu and drops the item (about one start in two).
    call << kItemPath;
    auto* registration = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    // A reply from a watcher that has gone since says nothing of the one there now.
    const int generation = watcherGeneration_;
    connect(registration, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* reply) {
        reply->deleteLater();
        if (generation != watcherGeneration_) return;
        refused_ = reply->isError();
        emit StateChanged();
    });
    // Whether anything shows the items the watcher holds; a watcher without the property is
    // taken to have a host.
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* host = new QDBusPendingCallWatcher(bus_.asyncCall(get), this);
    connect(host, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* reply) {
        reply->deleteLater();
        if (reply->isError() || generation != watcherGeneration_) return;
        hostRegistered_ = reply->reply().arguments().value(0).value<QDBusVariant>().variant().toBool();
        emit StateChanged();
    });
}

void TStatusNotifierItem::WatcherOwnerChanged(const QString& newOwner) {
    watcherPresent_ = !newOwner.isEmpty();
    NoteWheelConvention(newOwner);
    ++watcherGeneration_;
    refused_ = false;
    hostRegistered_ = true;
    Register();  // a new watcher knows nothing of us
    emit StateChanged();
}

void TStatusNotifierItem::HostRegistered() {
    hostRegistered_ = true;
    emit StateChanged();
}

// ---- On the bus -------------------------------------------------------------------------

TStatusNotifierItemAdaptor::TStatusNotifierItemAdaptor(TStatusNotifierItem& item) : QDBusAbstractAdaptor(&item), item_(item) {}

QDBusObjectPath TStatusNotifierItemAdaptor::Menu() const { return QDBusObjectPath(kMenuPath); }

// Each request is acted on after the reply: a host must never wait for what it asked.
void TStatusNotifierItemAdaptor::Activate(int x, int y) {
    QMetaObject::invokeMethod(&item_, [item = &item_, x, y] { emit item->Activated(x, y); }, Qt::QueuedConnection);
}

void TStatusNotifierItemAdaptor::SecondaryActivate(int x, int y) {
    QMetaObject::invokeMethod(&item_, [item = &item_, x, y] { emit item->SecondaryActivated(x, y); }, Qt::QueuedConnection);
}

void TStatusNotifierItemAdaptor::ContextMenu(int x, int y) {
    QMetaObject::invokeMethod(&item_, [item = &item_, x, y] { emit item->ContextMenuRequested(x, y); }, Qt::QueuedConnection);
}

void TStatusNotifierItemAdaptor::Scroll(int delta, const QString& orientation) {
    QMetaObject::invokeMethod(
        &item_,
        [item = &item_, delta, orientation] { emit item->Scrolled(item->WheelDownPositive() ? -delta : delta, orientation); },
        Qt::QueuedConnection);
}

// Qt's wayland platform reads it from the environment at the next activation.
void TStatusNotifierItemAdaptor::ProvideXdgActivationToken(const QString& token) {
    qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
}

QDBusArgument& operator<<(QDBusArgument& argument, const TIconPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TIconPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

}  // namespace zentu
