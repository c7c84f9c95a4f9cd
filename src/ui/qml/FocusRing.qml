import QtQuick
import Quorvane

// A ring in the theme's blue around the item that has the keyboard focus,
// shown when the keyboard put it there (Tab, Shift+Tab, a shortcut) rather
// than a click or the window itself; a list that the keyboard entered gives
// the focus to its current row. It is drawn as a child of that item, so it
// moves, scrolls and goes away with it.
Rectangle {
    id: ring

    // The window's active focus item.
    property Item focusItem: null

    // The list whose current row has the focus, if that is where it is.
    readonly property Item list: {
        const view = focusItem && focusItem.parent ? focusItem.parent.parent : null
        return view && view.currentItem === focusItem ? view : null
    }
    readonly property bool byKeyboard: {
        const item = focusItem
        if (!item)
            return false
        // a row of a list the keyboard entered, or an entry of a menu the
        // keyboard moves through (its list is no Tab stop)
        if (list)
            return list.activeFocusOnTab || item.visualFocus === true
        if (item.visualFocus !== undefined)
            return item.visualFocus
        if (item.focusReason !== undefined)
            return item.focusReason === Qt.TabFocusReason || item.focusReason === Qt.BacktabFocusReason
                || item.focusReason === Qt.ShortcutFocusReason
        // items that take the focus from the keyboard only
        return item.activeFocusOnTab
    }

    // Outside the item, or inside a row as wide as the clipping list it is
    // in (a menu's entries), where a ring outside would be cut off.
    readonly property real outset: list && list.clip && (focusItem.x < 3 || focusItem.x + focusItem.width > list.width - 3)
                                   ? -1 : 3

    objectName: "focusRing"
    parent: byKeyboard ? focusItem : null
    visible: parent !== null
    x: -outset
    y: -outset
    width: parent ? parent.width + 2 * outset : 0
    height: parent ? parent.height + 2 * outset : 0
    z: 1000
    radius: 6
    color: "transparent"
    border.width: 2
    border.color: Theme.blue
    Accessible.ignored: true
}
