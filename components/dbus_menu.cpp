#include "components/dbus_menu.h"

#include <QAction>
#include <QActionEvent>
#include <QActionGroup>
#include <QDBusMetaType>
#include <QTimer>

namespace zentu {

TDBusMenu::TDBusMenu(QList<QMenu*> sections, QObject* parent) : QObject(parent) {
    for (QMenu* menu : sections) {
        if (!sections_.isEmpty()) {
            auto* separator = new QAction(this);
            separator->setSeparator(true);
            separators_.append(separator);
        }
        sections_.append(menu);
        if (!menu) continue;
        menu->installEventFilter(this);
        // Its actions go with it.
        connect(menu, &QObject::destroyed, this, [this] {
            AssignIds();
            layoutChanged_ = true;
            Announce();
        });
    }
    AssignIds();
}

QList<QAction*> TDBusMenu::Items() const {
    QList<QAction*> items;
    for (qsizetype i = 0; i < sections_.size(); ++i) {
        if (sections_[i].isNull()) continue;
        if (i > 0 && !items.isEmpty()) items.append(separators_[i - 1]);
        items.append(sections_[i]->actions());
    }
    return items;
}

// An action keeps its number while it is in the menu; one put in again gets a new one.
void TDBusMenu::AssignIds() {
    QHash<QAction*, int> ids;
    for (QAction* action : Items()) ids.insert(action, ids_.contains(action) ? ids_.value(action) : nextId_++);
    ids_ = std::move(ids);
}

int TDBusMenu::IdOf(QAction* action) const { return ids_.value(action, -1); }

QAction* TDBusMenu::ActionOf(int id) const { return id > 0 ? ids_.key(id, nullptr) : nullptr; }

bool TDBusMenu::Knows(int id) const { return id == 0 || ActionOf(id) != nullptr; }

QString TDBusMenu::Label(const QString& text) {
    QString label;
    label.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'&') {
            if (i + 1 < text.size() && text[i + 1] == u'&') {
                label += u'&';
                ++i;
            } else if (i + 1 < text.size()) {
                label += u'_';
            }
        } else if (c == u'_') {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

QVariantMap TDBusMenu::Properties(int id, const QStringList& names) const {
    QVariantMap all;
    if (id == 0) {
        all[QStringLiteral("children-display")] = QStringLiteral("submenu");
    } else if (const QAction* action = ActionOf(id)) {
        all[QStringLiteral("visible")] = action->isVisible();
        if (action->isSeparator()) {
            all[QStringLiteral("type")] = QStringLiteral("separator");
        } else {
            all[QStringLiteral("label")] = Label(action->text());
            all[QStringLiteral("enabled")] = action->isEnabled();
            if (action->isCheckable()) {
                const bool radio = action->actionGroup() && action->actionGroup()->isExclusive();
                all[QStringLiteral("toggle-type")] = radio ? QStringLiteral("radio") : QStringLiteral("checkmark");
                all[QStringLiteral("toggle-state")] = action->isChecked() ? 1 : 0;
            }
        }
    }
    if (names.isEmpty()) return all;
    QVariantMap some;
    for (const QString& name : names)
        if (all.contains(name)) some[name] = all[name];
    return some;
}

TDBusMenuLayout TDBusMenu::Layout(int id, int depth, const QStringList& names) const {
    TDBusMenuLayout layout{id, Properties(id, names), {}};
    if (id != 0 || depth == 0) return layout;
    for (QAction* action : Items()) layout.children.append({IdOf(action), Properties(IdOf(action), names), {}});
    return layout;
}

void TDBusMenu::HandleEvent(int id, const QString& eventId) {
    QAction* action = ActionOf(id);
    if (eventId != QStringLiteral("clicked") || action == nullptr || action->isSeparator()) return;
    // After the reply: what the item does (a window shown, the program ended) is not the
    // host's to wait for.
    QTimer::singleShot(0, action, [action] {
        if (action->isEnabled()) action->trigger();
    });
}

bool TDBusMenu::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
        // At once: a host's call in between must not find an action that is gone.
        AssignIds();
        layoutChanged_ = true;
        Announce();
        break;
    case QEvent::ActionChanged:
        changed_.insert(IdOf(static_cast<QActionEvent*>(event)->action()));
        Announce();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void TDBusMenu::Announce() {
    if (announcing_) return;
    announcing_ = true;
    QTimer::singleShot(0, this, [this] {
        announcing_ = false;
        if (layoutChanged_) {
            layoutChanged_ = false;
            changed_.clear();
            emit LayoutUpdated(++revision_, 0);
            return;
        }
        TDBusMenuItemList updated;
        for (int id : std::as_const(changed_))
            if (ActionOf(id)) updated.append({id, Properties(id, {})});
        changed_.clear();
        if (!updated.isEmpty()) emit ItemsPropertiesUpdated(updated, {});
    });
}

// ---- On the bus -------------------------------------------------------------------------

TDBusMenuAdaptor::TDBusMenuAdaptor(TDBusMenu& menu) : QDBusAbstractAdaptor(&menu), menu_(menu) {
    connect(&menu, &TDBusMenu::LayoutUpdated, this, &TDBusMenuAdaptor::LayoutUpdated);
    connect(&menu, &TDBusMenu::ItemsPropertiesUpdated, this, &TDBusMenuAdaptor::ItemsPropertiesUpdated);
}

uint TDBusMenuAdaptor::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 TDBusMenuLayout& layout) {
    layout = menu_.Layout(parentId, recursionDepth, propertyNames);
    return menu_.Revision();
}

TDBusMenuItemList TDBusMenuAdaptor::GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
    TDBusMenuItemList items;
    for (int id : ids)
        if (menu_.Knows(id)) items.append({id, menu_.Properties(id, propertyNames)});
    return items;
}

QDBusVariant TDBusMenuAdaptor::GetProperty(int id, const QString& name) {
    const QVariant value = menu_.Properties(id, {name}).value(name);
    return QDBusVariant(value.isValid() ? value : QVariant(QString()));
}

void TDBusMenuAdaptor::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    menu_.HandleEvent(id, eventId);
}

QList<int> TDBusMenuAdaptor::EventGroup(const TDBusMenuEventList& events) {
    QList<int> idErrors;
    for (const TDBusMenuEvent& event : events) {
        if (menu_.Knows(event.id))
            menu_.HandleEvent(event.id, event.eventId);
        else
            idErrors.append(event.id);
    }
    return idErrors;
}

bool TDBusMenuAdaptor::AboutToShow(int) { return false; }

QList<int> TDBusMenuAdaptor::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    for (int id : ids)
        if (!menu_.Knows(id)) idErrors.append(id);
    return {};
}

void RegisterDBusMenuTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<TDBusMenuItem>();
        qDBusRegisterMetaType<TDBusMenuItemList>();
        qDBusRegisterMetaType<TDBusMenuItemKeys>();
        qDBusRegisterMetaType<TDBusMenuItemKeysList>();
        qDBusRegisterMetaType<TDBusMenuLayout>();
        qDBusRegisterMetaType<TDBusMenuEvent>();
        qDBusRegisterMetaType<TDBusMenuEventList>();
        return true;
    }();
    (void)registered;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument << keys.id << keys.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuItemKeys& keys) {
    argument.beginStructure();
    argument >> keys.id >> keys.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuLayout& layout) {
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const TDBusMenuLayout& child : layout.children) argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuLayout& layout) {
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    layout.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        TDBusMenuLayout inner;
        child.variant().value<QDBusArgument>() >> inner;
        layout.children.append(inner);
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const TDBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, TDBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

}  // namespace zentu
