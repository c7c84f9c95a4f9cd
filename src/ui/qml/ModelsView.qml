import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// The models screen: the installed and downloading models, one card each,
// or a hint when there are none; a round add button opens the picker.
Item {
    id: modelsView

    readonly property bool showingModelPicker: picker.opened
    readonly property bool isFABHovered: addButton.hovered

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    ModelsListModel {
        id: library
        appState: AppState
    }

    Column {
        objectName: "noModels"
        anchors.centerIn: parent
        width: Math.min(parent.width - 48, 420)
        visible: library.count === 0
        spacing: 12

        Icon {
            anchors.horizontalCenter: parent.horizontalCenter
            name: "cube.box"
            size: 60
            color: Theme.primaryAt(0.2)
        }
        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            text: "No models yet"
            font.pixelSize: 17
            font.bold: true
            color: Theme.primaryAt(0.8)
        }
        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: "Download AI models from Hugging Face to get started"
            font.pixelSize: 13
            color: Theme.primaryAt(0.5)
        }
    }

    ListView {
        id: list
        objectName: "modelList"
        anchors.fill: parent
        visible: library.count > 0
        clip: true
        model: library
        spacing: 12
        boundsBehavior: Flickable.StopAtBounds
        // The list's padding; the footer also keeps the last card clear of
        // the add button.
        header: Item { height: 20 }
        footer: Item { height: 20 + addButton.height + 24 }
        ScrollBar.vertical: ScrollBar {}

        delegate: Item {
            id: slot
            required property string modelId
            required property string name
            required property string url
            required property bool isDownloaded
            required property bool isSelected
            required property real downloadProgress
            required property string sizeText
            required property string statusText
            required property string speedText

            width: ListView.view.width
            height: row.height

            ModelRowView {
                id: row
                x: 20
                width: slot.width - 40
                modelId: slot.modelId
                name: slot.name
                url: slot.url
                isDownloaded: slot.isDownloaded
                isSelected: slot.isSelected
                downloadProgress: slot.downloadProgress
                sizeText: slot.sizeText
                statusText: slot.statusText
                speedText: slot.speedText
                // Ignored for a model still downloading.
                onSelect: AppState.selectModelById(slot.modelId)
            }
        }
    }

    AbstractButton {
        id: addButton
        objectName: "addModelButton"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 24
        width: 56
        height: 56
        hoverEnabled: true
        focusPolicy: Qt.TabFocus
        text: "Add Model"
        Accessible.role: Accessible.Button
        Accessible.name: text
        Accessible.onPressAction: picker.open()
        ToolTip.text: text
        ToolTip.visible: hovered
        ToolTip.delay: 600
        scale: hovered ? 1.08 : 1.0
        Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }

        background: Rectangle {
            radius: width / 2
            color: addButton.hovered ? Qt.lighter(Theme.blue, 1.1) : Theme.blue
            Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        }
        contentItem: Icon {
            name: "plus"
            size: 28
            color: "white"
        }
        onClicked: picker.open()
    }

    ModelPickerView {
        id: picker
    }
}
