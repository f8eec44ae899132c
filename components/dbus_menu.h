// TDBusMenu: menus of ours offered to the desktop over com.canonical.dbusmenu, so that a
// StatusNotifier host draws them itself: labels, check marks, enabled states and separators,
// announced again whenever an action changes. What the host clicks is triggered after the
// reply has gone out. Submenus are not exported (our menus have none).
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace zentu {

struct TDBusMenuItem {  // (ia{sv})
    int id = 0;
    QVariantMap properties;
};
struct TDBusMenuItemKeys {  // (ias)
    int id = 0;
    QStringList names;
};
struct TDBusMenuLayout {  // (ia{sv}av), the children each a variant holding the same
    int id = 0;
    QVariantMap properties;
    QList<TDBusMenuLayout> children;
};
struct TDBusMenuEvent {  // (isvu)
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using TDBusMenuItemList = QList<TDBusMenuItem>;
using TDBusMenuItemKeysList = QList<TDBusMenuItemKeys>;
using TDBusMenuEventList = QList<TDBusMenuEvent>;

class TDBusMenu final : public QObject {
    Q_OBJECT

public:
    // Offers `sections` one after the other, a separator between two. The owner puts it
    // on the bus with its TDBusMenuAdaptor.
    TDBusMenu(QList<QMenu*> sections, QObject* parent = nullptr);

    uint Revision() const { return revision_; }
    // The item `id` (0: the whole menu) down to `depth` levels (-1: all), with the
    // properties named (none named: all of them).
    TDBusMenuLayout Layout(int id, int depth, const QStringList& names) const;
    QVariantMap Properties(int id, const QStringList& names) const;
    // Whether `id` names an item.
    bool Knows(int id) const;
    // The host's event on item `id`: "clicked" triggers it once the call has returned.
    void HandleEvent(int id, const QString& eventId);

    // Qt's "&&" and "&x" as dbusmenu's "&" and "_x"; a "_" of the text stays one.
    static QString Label(const QString& text);

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const QList<zentu::TDBusMenuItem>& updated, const QList<zentu::TDBusMenuItemKeys>& removed);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The top level's items: the sections' actions with a separator of ours between two.
    QList<QAction*> Items() const;
    void AssignIds();
    int IdOf(QAction* action) const;
    QAction* ActionOf(int id) const;
    // Changes are sent once the current event is handled: many at once are one signal.
    void Announce();

    QList<QPointer<QMenu>> sections_;
    QList<QAction*> separators_;  // ours, between the sections
    QHash<QAction*, int> ids_;
    int nextId_ = 1;
    uint revision_ = 1;
    bool layoutChanged_ = false;
    QSet<int> changed_;
    bool announcing_ = false;
};

// com.canonical.dbusmenu on the menu's object.
class TDBusMenuAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ Version)
    Q_PROPERTY(QString TextDirection READ TextDirection)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QStringList IconThemePath READ IconThemePath)

public:
    explicit TDBusMenuAdaptor(TDBusMenu& menu);
    uint Version() const { return 3; }
    QString TextDirection() const { return QStringLiteral("ltr"); }
    QString Status() const { return QStringLiteral("normal"); }
    QStringList IconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, zentu::TDBusMenuLayout& layout);
    QList<zentu::TDBusMenuItem> GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const QList<zentu::TDBusMenuEvent>& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemsPropertiesUpdated(const QList<zentu::TDBusMenuItem>& updatedProps,
                                const QList<zentu::TDBusMenuItemKeys>& removedProps);
    void ItemActivationRequested(int id, uint timestamp);

private:
    TDBusMenu& menu_;
};

// The types above made known to QtDBus; before the first object is exported.
void RegisterDBusMenuTypes();

QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuItemKeys& keys);
const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuItemKeys& keys);
QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuLayout& layout);
QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuEvent& event);

}  // namespace zentu

Q_DECLARE_METATYPE(zentu::TDBusMenuItem)
Q_DECLARE_METATYPE(zentu::TDBusMenuItemKeys)
Q_DECLARE_METATYPE(zentu::TDBusMenuLayout)
Q_DECLARE_METATYPE(zentu::TDBusMenuEvent)
