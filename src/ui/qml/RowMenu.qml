import QtQuick
import QtQuick.Controls
import Quorvane

// The options menu of a row (a conversation, a message, a model), in the
// appearance's colours. Opened from the keyboard, its first entry takes the
// focus and the keys go on there; when it closes, the keyboard goes back to
// the row.
Menu {
    id: menu

    property Item returnFocus: null

    // Opens under item at (x, y) of it, as a click on item would.
    function openAt(item, x, y, byKeyboard) {
        returnFocus = byKeyboard ? item.Window.activeFocusItem : null
        popup(item, x, y)
        if (byKeyboard) {
            // focused before it is made current, so that it keeps the
            // keyboard as the reason (and the focus ring shows on it)
            itemAt(0).forceActiveFocus(Qt.TabFocusReason)
            currentIndex = 0
        }
    }

    onClosed: {
        if (returnFocus)
            returnFocus.forceActiveFocus(Qt.TabFocusReason)
        returnFocus = null
    }
    background: Rectangle {
        implicitWidth: 160
        radius: 6
        color: Theme.surface
        border.color: Theme.primaryAt(0.15)
    }
}
