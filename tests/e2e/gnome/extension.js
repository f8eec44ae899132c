// Test hooks for the headless GNOME Shell run: Eval is refused outside unsafe mode, and a virtual
// pointer makes real clicks on the panel and on the menus the shell draws.
const { Clutter } = imports.gi;
const Main = imports.ui.main;

let pointer = null;
const indicator = () => Object.entries(Main.panel.statusArea).find(([k]) => k.startsWith('appindicator'))?.[1];
const box = a => [...a.get_transformed_position(), ...a.get_transformed_size()].map(Math.round);
const items = () => indicator().menu._getMenuItems().filter(i => i.visible && i.label);

function click(x, y, button, times = 1) {
    pointer.notify_absolute_motion(global.get_current_time(), x, y);
    for (let n = 0; n < times; ++n) {
        pointer.notify_button(global.get_current_time(), button, Clutter.ButtonState.PRESSED);
        pointer.notify_button(global.get_current_time(), button, Clutter.ButtonState.RELEASED);
    }
}
const centre = (a, button, times) => { const [x, y, w, h] = box(a); click(x + w / 2, y + h / 2, button, times); };

const hooks = {
    // The icon's box, whether its menu is open, the menu's box and its items' labels.
    state: () => JSON.stringify(indicator() ? { icon: box(indicator()), open: indicator().menu.isOpen,
        menu: box(indicator().menu.actor), labels: items().map(i => i.label.text) } : {}),
    clickIcon: (button, times) => centre(indicator(), button, times),
    scrollIcon: up => { centre(indicator(), 0, 0);
        pointer.notify_discrete_scroll(global.get_current_time(),
            up ? Clutter.ScrollDirection.UP : Clutter.ScrollDirection.DOWN, Clutter.ScrollSource.WHEEL); },
    clickItem: label => { const item = items().find(i => i.label.text === label);
        return item ? (centre(item, Clutter.BUTTON_PRIMARY), true) : false; },
    closeMenu: () => indicator().menu.close(),
};

function init() {
    return {
        enable() {
            global.context.unsafe_mode = true;
            pointer = Clutter.get_default_backend().get_default_seat().create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
            global.zentuTest = hooks;
        },
        disable() { delete global.zentuTest; pointer = null; },
    };
}
