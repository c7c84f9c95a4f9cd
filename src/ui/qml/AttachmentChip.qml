import QtQuick
import Quorvane

// A file attached to a user's message: icon, name and size.
Rectangle {
    id: root
    property string fileName
    property string fileType
    // In bytes; negative when unknown (no size shown).
    property real fileSize: -1
    // The user bubble's colour; the chip shows it at 70 %.
    property color bubbleColor: Theme.isLight ? Qt.rgba(210 / 255, 228 / 255, 1, 1) : Qt.rgba(7 / 255, 31 / 255, 0.2, 1)

    implicitWidth: row.width + 24
    implicitHeight: row.height + 16
    radius: 8
    color: Qt.rgba(bubbleColor.r, bubbleColor.g, bubbleColor.b, 0.7)
    Accessible.role: Accessible.StaticText
    Accessible.name: sizeText.visible ? fileName + ", " + sizeText.text : fileName

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 6

        Icon {
            anchors.verticalCenter: parent.verticalCenter
            name: "doc.fill"
            size: 12
            color: Theme.blue
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: root.fileName
            font.pixelSize: 13
            font.weight: Font.Medium
            color: Theme.primary
        }
        Text {
            id: sizeText
            anchors.verticalCenter: parent.verticalCenter
            visible: root.fileSize >= 0
            text: visible ? MessageRendering.formatSize(root.fileSize) : ""
            font.pixelSize: 11
            color: Theme.primaryAt(0.6)
        }
    }
}
