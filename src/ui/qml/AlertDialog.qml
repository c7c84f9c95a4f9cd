import QtQuick
import QtQuick.Controls
import Quorvane

// A modal alert centred in the window: a bold title, a message, and the
// buttons the user gives in its footer.
Dialog {
    id: alert
    property string message
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(420, parent ? parent.width - 48 : 420)
    modal: true
    padding: 20
    background: Rectangle {
        radius: 12
        color: Theme.isLight ? "white" : "#1c1c1e"
        border.width: 1
        border.color: Theme.primaryAt(0.15)
    }
    header: Label {
        text: alert.title
        padding: 20
        bottomPadding: 0
        font.pixelSize: 15
        font.bold: true
        color: Theme.primary
        wrapMode: Text.Wrap
    }
    contentItem: Label {
        text: alert.message
        wrapMode: Text.Wrap
        font.pixelSize: 13
        color: Theme.primary
    }
}
