import QtQuick
import QtQuick.Controls
import Quorvane

// For someone whose models run on another computer: a server elsewhere can
// be connected without waiting for, or mending, the local installation.
AbstractButton {
    id: button

    text: qsTr("Connect to a server instead")
    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    padding: 4
    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Text {
        text: button.text
        font.pixelSize: 13
        font.underline: button.hovered || button.activeFocus
        color: Theme.blue
    }
    background: null

    onClicked: dialog.open()

    ConnectServerDialog {
        id: dialog
    }
}
