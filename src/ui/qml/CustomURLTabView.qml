import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The custom link tab of the picker: a pasted download link and an
// optional name, bound to Picker.
Item {
    id: tab

    // A plain text field on a rounded, faintly tinted ground.
    component PlainField: TextField {
        Layout.fillWidth: true
        font.pixelSize: 14
        padding: 10
        color: Theme.primary
        placeholderTextColor: Theme.primaryAt(0.35)
        selectByMouse: true
        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
        selectedTextColor: Theme.primary
        background: Rectangle {
            radius: 8
            color: Theme.primaryAt(0.1)
        }
    }

    component Headline: Text {
        font.pixelSize: 13
        font.weight: Font.DemiBold
        color: Theme.primary
    }

    objectName: "customURLTab"

    ColumnLayout {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.leftMargin: 40
        anchors.rightMargin: 40
        anchors.topMargin: 24
        spacing: 8

        Headline { text: qsTr("Hugging Face Model URL") }
        PlainField {
            objectName: "huggingFaceURLField"
            placeholderText: "https://huggingface.co/username/model/resolve/main/file.gguf"
            Accessible.name: qsTr("Hugging Face Model URL")
            text: Picker.huggingFaceURL
            onTextChanged: if (Picker.huggingFaceURL !== text) Picker.huggingFaceURL = text
        }
        Text {
            Layout.fillWidth: true
            text: qsTr("Enter direct link to GGUF file (e.g., resolve/main/filename.gguf)")
            font.pixelSize: 10
            color: Theme.primaryAt(0.5)
            wrapMode: Text.Wrap
        }

        Headline {
            Layout.topMargin: 16
            text: qsTr("Model Name (Optional)")
        }
        PlainField {
            objectName: "modelNameField"
            placeholderText: qsTr("Auto-detect from URL if empty")
            Accessible.name: qsTr("Model Name (Optional)")
            text: Picker.modelName
            onTextChanged: if (Picker.modelName !== text) Picker.modelName = text
        }

        PickerActionButton {
            Layout.topMargin: 24
            text: qsTr("Download Model")
            iconName: "arrow.down.circle.fill"
            onClicked: Picker.downloadFromCustomURL()
        }
    }
}
