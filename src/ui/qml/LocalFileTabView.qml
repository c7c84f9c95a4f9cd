import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The local file tab of the picker: a button that opens the file chooser,
// and a busy sign while a chosen file is copied.
Item {
    id: tab

    // The file chooser should open.
    signal browse()

    objectName: "localFileTab"

    ColumnLayout {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 40
        spacing: 12

        Icon {
            Layout.alignment: Qt.AlignHCenter
            name: "doc.badge.plus"
            size: 60
            color: Theme.primaryAt(0.3)
        }
        Text {
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("Select a GGUF Model File")
            font.pixelSize: 15
            font.bold: true
            color: Theme.primary
        }
        Text {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: qsTr("Choose a .gguf model file you already have on your computer")
            font.pixelSize: 13
            color: Theme.primaryAt(0.6)
        }
        PickerActionButton {
            Layout.topMargin: 12
            text: qsTr("Browse Files")
            iconName: "folder.fill"
            enabled: !Picker.isImporting
            onClicked: tab.browse()
        }
        BusyIndicator {
            objectName: "importBusy"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            running: Picker.isImporting
            visible: running
        }
    }
}
