import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State
import Quorvane.Types

// The conversation sidebar: a header with the New chat button, the title
// search, and one row per matching conversation. JSON exports dropped on it
// are imported.
Item {
    id: sidebar

    // Writes conversations out and reads them in (ConversationExchange).
    property var exchange: null
    property bool isImportTarget: false

    property alias searchText: searchField.text
    readonly property bool isNewChatButtonHovered: newChatButton.hovered
    readonly property bool isSearchFocused: searchField.activeFocus
    // The search field takes the keyboard focus only once the user has
    // clicked into it, so that it never grabs focus by itself.
    property bool allowSearchFocus: false

    // Puts the keyboard in the search field, as a click into it would.
    function focusSearch() {
        allowSearchFocus = true
        searchField.forceActiveFocus()
    }

    Item {
        id: header
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        // as tall as the content's top bar, so "Chats" and the button line
        // up with its icons
        height: Theme.barHeight

        Text {
            anchors.left: parent.left
            anchors.leftMargin: 16
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Chats")
            font.pixelSize: 20
            font.bold: true
            color: Theme.primary
        }

        AbstractButton {
            id: newChatButton
            objectName: "newChatButton"
            anchors.right: parent.right
            anchors.rightMargin: 16 + 4
            anchors.verticalCenter: parent.verticalCenter
            width: 32
            height: 32
            text: qsTr("New chat")
            hoverEnabled: true
            focusPolicy: Qt.TabFocus
            Accessible.role: Accessible.Button
            Accessible.name: text
            ToolTip.text: text
            ToolTip.visible: hovered
            ToolTip.delay: 600

            contentItem: Icon {
                name: "plus"
                size: 18
                font.weight: Font.Medium
                color: newChatButton.hovered ? Theme.blue : Theme.primaryAt(0.7)
                scale: newChatButton.hovered ? 1.1 : 1.0
                Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
                Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            }
            background: null
            onClicked: AppState.createNewChat()
        }
    }

    Rectangle {
        id: searchBox
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: header.bottom
        anchors.topMargin: 8
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        height: searchField.implicitHeight + 16
        radius: 8
        color: Theme.primaryAt(0.08)

        Icon {
            id: searchIcon
            anchors.left: parent.left
            anchors.leftMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            name: "magnifyingglass"
            size: 14
            color: Theme.primaryAt(0.5)
        }

        TextField {
            id: searchField
            objectName: "searchField"
            anchors.left: searchIcon.right
            anchors.leftMargin: 6
            anchors.right: parent.right
            anchors.rightMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            padding: 0
            placeholderText: qsTr("Search chats...")
            placeholderTextColor: Theme.primaryAt(0.4)
            font.pixelSize: 14
            color: Theme.primary
            selectByMouse: true
            background: null
            activeFocusOnTab: sidebar.allowSearchFocus
            Accessible.name: placeholderText
            onPressed: {
                sidebar.allowSearchFocus = true
                forceActiveFocus()
            }
        }
    }

    ListView {
        id: sessionList
        objectName: "sessionList"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: searchBox.bottom
        anchors.topMargin: 12
        anchors.bottom: parent.bottom
        clip: true
        spacing: 2
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}
        // One stop of the Tab order: Up and Down move between the rows, Enter
        // or Space opens the current one, the Menu key or Shift+F10 its menu.
        activeFocusOnTab: count > 0 || activeFocus
        Keys.onPressed: (event) => {
            const row = sessionList.currentItem
            if (!row || row.renaming)
                return
            if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter || event.key === Qt.Key_Space)
                row.tapped()
            else if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier)))
                row.openMenu(true)
            else
                return
            event.accepted = true
        }

        model: ChatSessionsModel {
            id: sessionsModel
            appState: AppState
            searchText: searchField.text
        }

        delegate: ChatSessionRow {
            required property string sessionId
            required property string title
            required property bool isSelected
            required property int index

            x: 8
            width: sessionList.width - 16
            sessionTitle: title
            selected: isSelected
            onTapped: {
                sessionList.currentIndex = index
                AppState.selectSessionById(sessionId)
                if (AppState.currentView !== Quorvane.Chat)
                    AppState.setCurrentView(Quorvane.Chat)
            }
            onExportRequested: {
                if (sidebar.exchange)
                    sidebar.exchange.exportConversation(sessionId)
            }
            onRenameRequested: (newTitle) => {
                if (AppState.renameSession(sessionId, newTitle))
                    renaming = false
            }
            onDeleteRequested: {
                // Later, once the menu that asked has closed.
                const id = sessionId
                Qt.callLater(() => AppState.deleteSessionById(id))
            }
        }
    }

    DropArea {
        anchors.fill: parent
        onEntered: (drag) => {
            drag.accepted = drag.hasUrls
            sidebar.isImportTarget = drag.hasUrls
        }
        onExited: sidebar.isImportTarget = false
        onDropped: (drop) => {
            sidebar.isImportTarget = false
            if (!drop.hasUrls || !sidebar.exchange)
                return
            drop.accept(Qt.CopyAction)
            sidebar.exchange.importUrls(drop.urls)
        }
    }
    Rectangle {
        objectName: "importOutline"
        anchors.fill: parent
        color: "transparent"
        border.width: 2
        border.color: Theme.blue
        visible: sidebar.isImportTarget
    }
}
