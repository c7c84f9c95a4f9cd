import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State
import Quorvane.Types

// Switches between the dark and the light appearance: a sun while dark, a
// moon while light, optionally inside a rounded border.
AbstractButton {
    id: toggle

    property bool showBorder: false
    readonly property bool isHovered: hovered
    readonly property bool isLight: AppState.appearanceMode === Quorvane.Light

    text: isLight ? qsTr("Switch to Dark Mode") : qsTr("Switch to Light Mode")
    hoverEnabled: true
    padding: 10
    leftPadding: 12
    rightPadding: 12
    focusPolicy: Qt.TabFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    // A tooltip of its own rather than the shared one: the label may change
    // while the pointer rests on the button, and the shared tooltip would
    // keep showing the old text.
    ToolTip {
        text: toggle.text
        visible: toggle.hovered
        delay: 600
    }

    contentItem: Item {
        implicitWidth: 20
        implicitHeight: 20
        Icon {
            anchors.centerIn: parent
            name: toggle.isLight ? "moon" : "sun.max"
            size: 14
            font.weight: Font.Medium
            color: toggle.hovered ? Theme.blue : Theme.gray
            scale: toggle.hovered ? 1.05 : 1.0
            Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
            Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
        }
    }

    background: Rectangle {
        radius: 10
        color: "transparent"
        border.width: toggle.showBorder ? 2 : 0
        border.color: toggle.hovered ? Theme.blue : Qt.rgba(Theme.gray.r, Theme.gray.g, Theme.gray.b, 0.5)
    }

    onClicked: AppState.setAppearanceMode(isLight ? Quorvane.Dark : Quorvane.Light)
}
