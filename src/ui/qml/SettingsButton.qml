import QtQuick
import QtQuick.Controls
import Quorvane

// The one button style of the settings screen and its sheets: a symbol and
// a label, blue while hovered or active, on a faint rounded background.
AbstractButton {
    id: button
    property string iconName
    property bool isActive: false
    readonly property color tint: hovered || isActive ? Theme.blue : Theme.primaryAt(0.75)

    hoverEnabled: true
    leftPadding: 20
    rightPadding: 20
    topPadding: 10
    bottomPadding: 10
    focusPolicy: Qt.TabFocus
    opacity: enabled ? 1 : 0.5
    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Row {
        spacing: 6
        Icon {
            anchors.verticalCenter: parent.verticalCenter
            visible: button.iconName !== ""
            name: button.iconName
            size: 13
            color: button.tint
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: button.text
            font.pixelSize: 13
            color: button.tint
        }
    }
    background: Rectangle {
        radius: 8
        color: button.hovered || button.isActive ? Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.12)
                                                 : Theme.primaryAt(0.04)
    }
}
