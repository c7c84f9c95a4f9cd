import QtQuick
import QtQuick.Controls
import Quorvane

// One conversation in the sidebar: its title and a menu (also on a right
// click) to rename, export or delete it. Renaming edits the title in place:
// Enter saves, Escape cancels, a blank title is refused.
Item {
    id: row

    property string sessionTitle
    property bool selected: false
    property bool renaming: false
    readonly property bool isRowHovered: rowHover.hovered
    readonly property bool isMenuHovered: menuButton.hovered
    signal tapped()
    signal deleteRequested()
    signal exportRequested()
    // The new title; the row stays in renaming when it is refused.
    signal renameRequested(string title)

    // The row's menu under its options button, as the button opens it; from
    // the keyboard its first entry takes the focus and the keys go on there.
    function openMenu(byKeyboard) {
        menu.openAt(menuButton, 0, menuButton.height, byKeyboard)
    }
    // From a menu entry the keyboard is on, the field shows the focus ring.
    function startRenaming(byKeyboard) {
        titleField.text = sessionTitle
        renaming = true
        titleField.forceActiveFocus(byKeyboard ? Qt.TabFocusReason : Qt.OtherFocusReason)
        titleField.selectAll()
    }

    objectName: "chatSessionRow"
    implicitHeight: Math.max(titleText.implicitHeight, menuButton.height) + 20
    Accessible.role: Accessible.Button
    Accessible.name: sessionTitle
    Accessible.onPressAction: row.tapped()

    HoverHandler { id: rowHover }

    Rectangle {
        anchors.fill: parent
        radius: 8
        color: row.selected ? Theme.primaryAt(0.07) : row.isRowHovered ? Theme.primaryAt(0.06) : "transparent"
        Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    }

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: (mouse) => {
            if (mouse.button === Qt.RightButton)
                menu.popup()
            else
                row.tapped()
        }
    }

    TextField {
        id: titleField
        objectName: "renameField"
        visible: row.renaming
        anchors.left: parent.left
        anchors.leftMargin: 6
        anchors.right: menuButton.left
        anchors.rightMargin: 4
        anchors.verticalCenter: parent.verticalCenter
        font.pixelSize: 13
        color: Theme.primary
        selectByMouse: true
        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
        selectedTextColor: Theme.primary
        background: Rectangle {
            radius: 6
            color: Theme.primaryAt(0.06)
            border.color: Theme.blue
        }
        Accessible.name: qsTr("Conversation title")
        Keys.onReturnPressed: row.renameRequested(text)
        Keys.onEnterPressed: row.renameRequested(text)
        Keys.onEscapePressed: row.renaming = false
        onActiveFocusChanged: {
            if (!activeFocus)
                row.renaming = false
        }
        // Hidden again, it must not take the focus when the list gets it.
        onVisibleChanged: if (!visible) focus = false
    }

    Text {
        id: titleText
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.right: menuButton.left
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        text: row.sessionTitle
        visible: !row.renaming
        font.pixelSize: 13
        font.weight: Font.Medium
        color: Theme.primary
        elide: Text.ElideRight
        maximumLineCount: 1
        textFormat: Text.PlainText
    }

    AbstractButton {
        id: menuButton
        objectName: "chatOptionsButton"
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        width: 24
        height: 24
        text: qsTr("Chat options")
        hoverEnabled: true
        // From the keyboard the menu opens on the list's current row.
        focusPolicy: Qt.NoFocus
        Accessible.role: Accessible.ButtonMenu
        Accessible.name: text
        ToolTip.text: text
        ToolTip.visible: hovered && !menu.visible
        ToolTip.delay: 600

        contentItem: Icon {
            name: "ellipsis"
            size: 16
            color: Theme.primaryAt(0.6)
            scale: menuButton.hovered ? 1.1 : 1.0
            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        }
        background: null
        onClicked: row.openMenu()

        RowMenu {
            id: menu
            objectName: "chatOptionsMenu"

            MenuItem {
                objectName: "renameChatItem"
                text: qsTr("Rename")
                onTriggered: Qt.callLater(row.startRenaming, visualFocus)
            }
            MenuItem {
                objectName: "exportChatItem"
                text: qsTr("Export…")
                onTriggered: row.exportRequested()
            }
            MenuItem {
                id: deleteItem
                objectName: "deleteChatItem"
                text: qsTr("Delete Chat")
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
                onTriggered: row.deleteRequested()
            }
        }
    }
}
