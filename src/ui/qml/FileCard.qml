import QtQuick
import QtQuick.Controls
import Quorvane

// One file attached to the message being written: its kind, its name and a
// button that takes it out again.
Item {
    id: card
    property string fileName
    // Shown with the PDF icon, else as a text file.
    property bool isPdf: false
    signal remove()

    width: 70
    height: 70
    Accessible.role: Accessible.Grouping
    Accessible.name: fileName

    Rectangle {
        anchors.fill: parent
        radius: 10
        color: Theme.primaryAt(0.06)
    }

    Column {
        anchors.centerIn: parent
        width: parent.width - 8
        spacing: 4

        Icon {
            objectName: "fileCardIcon"
            anchors.horizontalCenter: parent.horizontalCenter
            name: card.isPdf ? "doc.fill" : "doc.text.fill"
            size: 24
            color: Theme.blue
        }
        Text {
            width: parent.width
            text: card.fileName
            font.pixelSize: 10
            color: Theme.primary
            elide: Text.ElideMiddle
            horizontalAlignment: Text.AlignHCenter
        }
    }

    AbstractButton {
        objectName: "removeFileButton"
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: -4
        anchors.rightMargin: -4
        width: 20
        height: 20
        hoverEnabled: true
        focusPolicy: Qt.TabFocus
        Accessible.role: Accessible.Button
        Accessible.name: qsTr("Remove file")
        Accessible.onPressAction: card.remove()

        background: Rectangle {
            anchors.centerIn: parent
            width: 14
            height: 14
            radius: 7
            color: Theme.windowBackground
        }
        contentItem: Icon {
            name: "xmark.circle.fill"
            size: 16
            color: parent.hovered ? Theme.primary : Theme.gray
        }
        onClicked: card.remove()
    }
}
