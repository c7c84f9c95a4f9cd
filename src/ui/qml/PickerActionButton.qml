import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane

// The wide blue button of the picker's link and file tabs.
AbstractButton {
    id: action
    property string iconName
    Layout.fillWidth: true
    implicitHeight: 44
    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.onPressAction: if (enabled) clicked()
    opacity: enabled ? 1 : 0.5
    scale: hovered && enabled ? 1.02 : 1.0
    Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    background: Rectangle {
        radius: 10
        color: Theme.blue
    }
    contentItem: Item {
        Row {
            anchors.centerIn: parent
            spacing: 8
            Icon {
                anchors.verticalCenter: parent.verticalCenter
                name: action.iconName
                size: 18
                color: "white"
            }
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: action.text
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: "white"
            }
        }
    }
}
