import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// One model of the library as a card: its name and size, its download
// progress while the file arrives, and a menu for details and deletion.
// Tapping it selects the model.
Item {
    id: row

    property string modelId
    property string name
    property string url
    property bool isDownloaded: false
    property bool isSelected: false
    property real downloadProgress: 0
    property string sizeText
    property string statusText
    property string speedText
    readonly property bool showingDetails: details.opened
    readonly property bool showingDeleteConfirm: deleteConfirm.opened
    readonly property bool isHovered: hover.hovered
    // The options button is a stop of the Tab order (on the list's current row).
    property bool optionsOnTab: true
    signal select()

    // The options menu under its button; from the keyboard its first entry
    // takes the focus.
    function openMenu(byKeyboard) {
        menu.openAt(menuButton, 0, menuButton.height, byKeyboard)
    }

    readonly property color tint: Theme.blue
    function blueAt(opacity) { return Qt.rgba(tint.r, tint.g, tint.b, opacity) }

    objectName: "modelRow"
    implicitHeight: content.implicitHeight + 32
    height: implicitHeight
    Accessible.role: Accessible.Button
    Accessible.name: name
    Accessible.onPressAction: row.select()

    scale: isHovered && isDownloaded ? 1.02 : 1.0
    Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }

    HoverHandler { id: hover }

    Rectangle {
        anchors.fill: parent
        radius: 12
        color: row.isSelected ? row.blueAt(0.1)
             : row.isHovered && row.isDownloaded ? row.blueAt(0.05) : Theme.primaryAt(0.05)
        border.width: 1
        border.color: row.isSelected ? row.blueAt(0.3)
                    : row.isHovered && row.isDownloaded ? row.blueAt(0.2) : "transparent"
        Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        Behavior on border.color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    }

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        // a right click offers the options menu where the pointer is
        onClicked: (mouse) => {
            if (mouse.button === Qt.RightButton)
                menu.popup()
            else
                row.select()
        }
    }

    RowLayout {
        id: content
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 16
        spacing: 16

        Rectangle {
            Layout.preferredWidth: 48
            Layout.preferredHeight: 48
            Layout.alignment: Qt.AlignTop
            radius: 10
            color: row.isSelected ? row.blueAt(0.2) : Theme.primaryAt(0.08)
            Icon {
                anchors.centerIn: parent
                name: row.isSelected ? "checkmark.circle.fill" : "cube.fill"
                size: 22
                color: row.isSelected ? Theme.blue : Theme.primaryAt(0.6)
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignVCenter
            spacing: 4

            Text {
                Layout.fillWidth: true
                text: row.name
                font.pixelSize: 15
                font.weight: Font.Medium
                color: Theme.primary
                elide: Text.ElideRight
                textFormat: Text.PlainText
            }

            Row {
                spacing: 6
                Text {
                    objectName: "modelSize"
                    text: row.sizeText
                    font.pixelSize: 13
                    color: row.isDownloaded ? Theme.primaryAt(0.5) : Theme.blue
                }
                Text {
                    visible: row.isSelected
                    text: qsTr("• Active")
                    font.pixelSize: 13
                    color: Theme.blue
                }
            }

            // The progress bar: plain shapes, so that a tap on it still
            // reaches the row.
            Rectangle {
                objectName: "downloadProgress"
                Layout.fillWidth: true
                Layout.topMargin: 4
                implicitHeight: 4
                visible: !row.isDownloaded
                radius: 2
                color: Theme.primaryAt(0.1)
                Rectangle {
                    width: Math.max(0, Math.min(1, row.downloadProgress)) * parent.width
                    height: parent.height
                    radius: 2
                    color: Theme.blue
                }
            }

            RowLayout {
                Layout.fillWidth: true
                visible: !row.isDownloaded
                spacing: 8
                Text {
                    objectName: "downloadStatus"
                    Layout.fillWidth: true
                    text: row.statusText
                    font.pixelSize: 12
                    color: Theme.primaryAt(0.6)
                    elide: Text.ElideRight
                }
                Text {
                    objectName: "downloadSpeed"
                    visible: text.length > 0
                    text: row.speedText
                    font.pixelSize: 12
                    color: Theme.blue
                }
            }
        }

        AbstractButton {
            id: menuButton
            objectName: "modelOptionsButton"
            Layout.preferredWidth: 32
            Layout.preferredHeight: 32
            Layout.alignment: Qt.AlignVCenter
            text: qsTr("Model options")
            hoverEnabled: true
            focusPolicy: row.optionsOnTab ? Qt.TabFocus : Qt.NoFocus
            Accessible.role: Accessible.ButtonMenu
            Accessible.name: text
            Accessible.onPressAction: menuButton.clicked()
            ToolTip.text: text
            ToolTip.visible: hovered && !menu.visible
            ToolTip.delay: 600

            background: Rectangle {
                radius: 8
                color: Theme.primaryAt(menuButton.hovered ? 0.15 : 0.1)
                Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            }
            contentItem: Icon {
                name: "ellipsis"
                size: 14
                font.weight: Font.Medium
                color: Theme.primaryAt(0.6)
            }
            // pressed with Space, the keyboard goes on in the menu
            onClicked: row.openMenu(visualFocus)

            RowMenu {
                id: menu
                objectName: "modelOptionsMenu"
                background.implicitWidth: 180

                MenuItem {
                    id: detailsItem
                    text: qsTr("Model Details")
                    Accessible.name: text
                    contentItem: Row {
                        spacing: 8
                        Icon {
                            anchors.verticalCenter: parent.verticalCenter
                            name: "info.circle"
                            size: 15
                            color: Theme.primary
                        }
                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: detailsItem.text
                            font: detailsItem.font
                            color: Theme.primary
                        }
                    }
                    background: Rectangle {
                        color: detailsItem.highlighted ? Theme.primaryAt(0.08) : "transparent"
                        radius: 4
                    }
                    onTriggered: details.open()
                }

                MenuSeparator {
                    contentItem: Rectangle {
                        implicitHeight: 1
                        color: Theme.primaryAt(0.12)
                    }
                }

                MenuItem {
                    id: deleteItem
                    text: qsTr("Delete Model")
                    Accessible.name: text
                    contentItem: Row {
                        spacing: 8
                        Icon {
                            anchors.verticalCenter: parent.verticalCenter
                            name: "trash"
                            size: 15
                            color: Theme.red
                        }
                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: deleteItem.text
                            font: deleteItem.font
                            color: Theme.redText
                        }
                    }
                    background: Rectangle {
                        color: deleteItem.highlighted ? Theme.primaryAt(0.08) : "transparent"
                        radius: 4
                    }
                    onTriggered: deleteConfirm.open()
                }
            }
        }
    }

    ModelDetailsView {
        id: details
        name: row.name
        url: row.url
        sizeText: row.sizeText
        isDownloaded: row.isDownloaded
    }

    AlertDialog {
        id: deleteConfirm
        objectName: "deleteModelConfirm"
        title: qsTr("Delete %1?").arg(row.name)
        message: qsTr("This removes the model file from your computer. You will have to download it again to use it.")
        footer: DialogButtonBox {
            background: null
            Button {
                id: deleteButton
                text: qsTr("Delete model")
                Accessible.name: text
                contentItem: Text {
                    text: deleteButton.text
                    font: deleteButton.font
                    color: Theme.redText
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
                onClicked: {
                    deleteConfirm.close()
                    // The row goes with the record, this dialog with it.
                    AppState.deleteModelById(row.modelId)
                }
            }
            Button {
                text: qsTr("Cancel")
                Accessible.name: text
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }
}
