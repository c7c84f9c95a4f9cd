import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// The models screen: a header with its title and the button that opens the
// picker, then the installed and downloading models, one card each, or a
// hint when there are none.
Item {
    id: modelsView

    readonly property bool showingModelPicker: picker.opened
    readonly property bool isAddButtonHovered: addButton.hovered

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    Item {
        id: header
        objectName: "modelsHeader"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.leftMargin: 20
        anchors.rightMargin: 20
        height: addButton.implicitHeight + 16

        Text {
            anchors.left: parent.left
            anchors.right: addButton.left
            anchors.rightMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Models")
            font.pixelSize: 20
            font.bold: true
            color: Theme.primary
            elide: Text.ElideRight
            Accessible.role: Accessible.Heading
        }

        SettingsButton {
            id: addButton
            objectName: "addModelButton"
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Add Model")
            iconName: "plus"
            Accessible.onPressAction: picker.open()
            onClicked: picker.open()
        }
    }

    ModelsListModel {
        id: library
        appState: AppState
    }

    Column {
        objectName: "noModels"
        anchors.horizontalCenter: parent.horizontalCenter
        // centred in the space under the header
        y: header.height + (parent.height - header.height - height) / 2
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
            text: qsTr("No models yet")
            font.pixelSize: 17
            font.bold: true
            color: Theme.primaryAt(0.8)
        }
        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: qsTr("Download AI models from Hugging Face to get started")
            font.pixelSize: 13
            color: Theme.primaryAt(0.5)
        }
    }

    ListView {
        id: list
        objectName: "modelList"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: header.bottom
        anchors.bottom: parent.bottom
        visible: library.count > 0
        clip: true
        model: library
        spacing: 12
        boundsBehavior: Flickable.StopAtBounds
        // The list's padding.
        header: Item { height: 8 }
        footer: Item { height: 20 }
        ScrollBar.vertical: ScrollBar {}
        // One stop of the Tab order, as the conversation list: Up and Down
        // move between the models, Enter or Space selects the current one,
        // the Menu key or Shift+F10 opens its options (Tab goes on to its
        // options button).
        activeFocusOnTab: count > 0 || activeFocus
        Keys.onPressed: (event) => {
            const card = currentItem ? currentItem.card : null
            if (!card || Window.activeFocusItem !== currentItem)
                return
            if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter || event.key === Qt.Key_Space)
                card.select()
            else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier)))
                card.openMenu(true)
            else
                return
            event.accepted = true
        }

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
            readonly property Item card: row

            // as wide as the card, so that the focus ring goes round it
            x: 20
            width: ListView.view.width - 40
            height: row.height

            ModelRowView {
                id: row
                width: slot.width
                optionsOnTab: slot.ListView.isCurrentItem
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

    ModelPickerView {
        id: picker
    }
}
