import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// One message of the conversation. A user's message: its text in one bubble
// and its attached files, on the right beside the person avatar. An
// assistant's message: the brain avatar on the left, then the text split into
// prose bubbles (Markdown) and code blocks. The width comes from the list;
// the height follows the content. Under it, in the space between messages,
// its actions: the answers' switcher and Regenerate under the last reply,
// and on hover Copy, Edit (a user's message) and Delete; a right click
// offers the same in a menu. Editing turns the user's bubble into a field
// with "Save & send" and "Cancel".
Item {
    id: root
    property string content
    property bool isFromUser: false
    // [{fileName, fileType, filePath, fileSize (optional)}]
    property var attachments: []
    // The text is still arriving: code is coloured without filling the cache.
    property bool isStreaming: false
    // How the reply was made, in one quiet line under it; empty: no line.
    property string figures
    property string messageId
    // "reply", "notice", "error", "stopped"; empty for a user's message
    property string kind
    property int versionCount: 1
    property int shownVersion: 0
    // The last message of the conversation: a reply there can be asked for again.
    property bool isLast: false
    // A reply is on its way: nothing but copying is offered.
    property bool busy: false
    // Set (the row of the message list the keyboard is on), the code
    // blocks' Copy buttons follow it in the Tab order.
    property Item tabFrom: null
    property bool editing: false
    readonly property bool hasActions: messageId.length > 0 && !isStreaming
    readonly property bool showsActions: hasActions && (hover.hovered || actionsHover.hovered || contextMenu.visible)
    readonly property bool canRegenerate: hasActions && !isFromUser && isLast && !busy && AppState.canRegenerate

    onMessageIdChanged: editing = false

    function copy() { MessageRendering.copyToClipboard(content) }
    // The edit field closed while the keyboard was in it.
    signal editFieldClosed()

    function startEditing(byKeyboard) {
        editField.text = content
        editing = true
        editField.forceActiveFocus(byKeyboard ? Qt.TabFocusReason : Qt.OtherFocusReason)
        editField.cursorPosition = editField.length
    }
    // The menu a right click opens, at the top of the message; from the
    // keyboard its first entry takes the focus and the keys go on there.
    function openMenu(byKeyboard) {
        if (!hasActions)
            return
        contextMenu.openAt(column, 0, 0, byKeyboard)
    }
    // The previous (-1) or next (1) answer of a reply that has several.
    function showOtherVersion(step) {
        const version = shownVersion + step
        if (versionCount > 1 && !busy && version >= 0 && version < versionCount)
            AppState.showReplyVersion(messageId, version)
    }
    function saveEdit() {
        if (AppState.editMessage(messageId, editField.text))
            editing = false
    }

    readonly property real avatarGap: 12
    readonly property real maxColumnWidth: Math.max(0, Math.min(600, width - 32 - avatarGap))
    readonly property color userBubbleColor: Theme.isLight ? Qt.rgba(210 / 255, 228 / 255, 1, 1)
                                                           : Qt.rgba(7 / 255, 31 / 255, 0.2, 1)
    readonly property color assistantBubbleColor: Theme.isLight ? Qt.rgba(0.91, 0.91, 0.91, 1)
                                                                : Qt.rgba(0.12, 0.12, 0.12, 1)
    readonly property var parts: isFromUser ? [] : MessageRendering.parts(content)

    implicitHeight: Math.max(avatar.height, column.height)

    HoverHandler { id: hover }
    TapHandler {
        acceptedButtons: Qt.RightButton
        enabled: root.hasActions
        onTapped: (point) => contextMenu.popup()
    }
    implicitWidth: 32 + avatarGap + column.width

    // The round avatar beside a message and the typing indicator.
    component Avatar: Rectangle {
        property string symbol
        width: 32
        height: 32
        radius: 16
        color: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.2)
        Accessible.ignored: true
        Icon {
            anchors.centerIn: parent
            name: parent.symbol
            size: 14
            color: Theme.blue
        }
    }

    // Selectable text on a rounded bubble, as wide as its text up to maxWidth.
    component Bubble: Rectangle {
        id: bubble
        property alias text: label.text
        property alias textFormat: label.textFormat
        property real maxWidth: 600
        // Space between paragraphs of Markdown.
        property real paragraphSpacing: 0
        width: label.width + 32
        height: label.height + 24
        radius: 16
        Accessible.role: Accessible.StaticText
        Accessible.name: label.text

        TextEdit {
            id: label
            x: 16
            y: 12
            width: Math.min(Math.ceil(implicitWidth), Math.max(0, bubble.maxWidth - 32))
            wrapMode: TextEdit.Wrap
            readOnly: true
            selectByMouse: true
            font.pixelSize: 15
            color: Theme.primary
            selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
            selectedTextColor: Theme.primary
            onLinkActivated: link => Qt.openUrlExternally(link)
        }
        TextStyling {
            textEdit: label
            paragraphSpacing: bubble.paragraphSpacing
            linkColor: Theme.isLight ? "#0058d0" : "#5eb0ff"
        }
    }

    Avatar {
        id: avatar
        x: root.isFromUser ? root.width - width : 0
        symbol: root.isFromUser ? "person.fill" : "brain"
    }

    Column {
        id: column
        x: root.isFromUser ? avatar.x - root.avatarGap - width : 32 + root.avatarGap
        spacing: root.isFromUser ? 8 : 12

        // a user's text, never split
        Bubble {
            x: column.width - width
            visible: root.isFromUser && root.content.length > 0 && !root.editing
            text: visible ? root.content : ""
            textFormat: TextEdit.PlainText
            maxWidth: root.maxColumnWidth
            color: root.userBubbleColor
        }

        Rectangle {
            id: editBox
            objectName: "editBox"
            visible: root.editing
            width: root.maxColumnWidth
            height: visible ? editField.implicitHeight + editButtons.height + 36 : 0
            x: column.width - width
            radius: 16
            color: root.userBubbleColor
            border.color: Theme.blue
            TextArea {
                id: editField
                objectName: "editField"
                x: 12
                y: 10
                width: parent.width - 24
                wrapMode: TextEdit.Wrap
                font.pixelSize: 15
                color: Theme.primary
                background: null
                Accessible.name: qsTr("Edit message text")
                Keys.onEscapePressed: root.editing = false
                // Hidden again, it must not take the focus when the list gets
                // it; the keyboard it held goes back to the message.
                onVisibleChanged: {
                    if (visible)
                        return
                    const hadKeyboard = activeFocus
                    focus = false
                    if (hadKeyboard)
                        root.editFieldClosed()
                }
                // Tab moves on, as from every other control, rather than typing a tab.
                Keys.onTabPressed: nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
                Keys.onBacktabPressed: nextItemInFocusChain(false).forceActiveFocus(Qt.BacktabFocusReason)
            }
            Row {
                id: editButtons
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 10
                spacing: 8
                Button {
                    Accessible.name: text
                    text: qsTr("Cancel")
                    onClicked: root.editing = false
                }
                Button {
                    // "&&" shows one ampersand rather than marking a shortcut letter
                    text: qsTr("Save && send")
                    Accessible.name: qsTr("Save & send")
                    highlighted: true
                    enabled: editField.text.trim().length > 0
                    onClicked: root.saveEdit()
                }
            }
        }

        Repeater {
            model: root.isFromUser ? root.attachments : []
            delegate: AttachmentChip {
                required property var modelData
                x: column.width - width
                fileName: modelData.fileName ?? ""
                fileType: modelData.fileType ?? ""
                fileSize: modelData.fileSize ?? -1
                bubbleColor: root.userBubbleColor
            }
        }

        // An assistant's parts. Counting rather than handing over the list
        // keeps the delegates while streamed text changes inside a part.
        Repeater {
            model: root.parts.length
            delegate: Loader {
                required property int index
                readonly property var part: index < root.parts.length ? root.parts[index] : null
                sourceComponent: part && part.kind === "code" ? codePart : prosePart
            }
        }

        Text {
            objectName: "figuresLine"
            visible: !root.isFromUser && root.figures.length > 0
            x: 4
            width: Math.min(implicitWidth, root.maxColumnWidth)
            text: visible ? root.figures : ""
            elide: Text.ElideRight
            font.pixelSize: 11
            color: Theme.secondary
        }
    }

    // A small flat button of the actions row. The hover-only ones keep
    // their place while hidden, so that none moves under the pointer.
    component ActionButton: AbstractButton {
        id: action
        property string symbol
        width: 24
        height: 22
        hoverEnabled: true
        // the keyboard has the message list's keys and the message menu
        focusPolicy: Qt.NoFocus
        Accessible.role: Accessible.Button
        Accessible.name: text
        ToolTip.text: text
        ToolTip.visible: hovered
        ToolTip.delay: 600
        background: null
        contentItem: Icon {
            name: action.symbol
            size: 15
            color: action.hovered ? Theme.blue : Theme.secondary
        }
    }

    Row {
        id: actions
        objectName: "messageActions"
        // in the space under the message, so that showing it moves nothing
        y: root.height + 1
        x: root.isFromUser ? column.x + column.width - width : column.x
        height: 22
        spacing: 2
        visible: root.hasActions && !root.editing
        HoverHandler { id: actionsHover }

        ActionButton {
            text: qsTr("Previous answer")
            symbol: "chevron.left"
            visible: root.versionCount > 1
            enabled: !root.busy && root.shownVersion > 0
            onClicked: AppState.showReplyVersion(root.messageId, root.shownVersion - 1)
        }
        Text {
            objectName: "versionLabel"
            visible: root.versionCount > 1
            height: 22
            verticalAlignment: Text.AlignVCenter
            text: (root.shownVersion + 1) + "/" + root.versionCount
            font.pixelSize: 12
            color: Theme.secondary
        }
        ActionButton {
            text: qsTr("Next answer")
            symbol: "chevron.right"
            visible: root.versionCount > 1
            enabled: !root.busy && root.shownVersion < root.versionCount - 1
            onClicked: AppState.showReplyVersion(root.messageId, root.shownVersion + 1)
        }
        ActionButton {
            text: qsTr("Regenerate")
            symbol: "arrow.clockwise"
            visible: root.canRegenerate
            onClicked: AppState.regenerateLastReply()
        }
        ActionButton {
            text: qsTr("Copy message")
            symbol: "doc.on.doc"
            opacity: root.showsActions ? 1 : 0
            enabled: root.showsActions
            onClicked: root.copy()
        }
        ActionButton {
            text: qsTr("Edit message")
            symbol: "pencil"
            visible: root.isFromUser && !root.busy
            opacity: root.showsActions ? 1 : 0
            enabled: root.showsActions
            onClicked: root.startEditing()
        }
        ActionButton {
            text: qsTr("Delete message")
            symbol: "trash"
            visible: !root.busy
            opacity: root.showsActions ? 1 : 0
            enabled: root.showsActions
            onClicked: AppState.deleteMessage(root.messageId)
        }
    }

    // An entry of the message menu, in the appearance's colours.
    component MenuEntry: MenuItem {
        id: entry
        contentItem: Text {
            text: entry.text
            font: entry.font
            color: Theme.primary
        }
        background: Rectangle {
            color: entry.highlighted ? Theme.primaryAt(0.08) : "transparent"
            radius: 4
        }
    }

    RowMenu {
        id: contextMenu
        objectName: "messageMenu"
        MenuEntry {
            text: qsTr("Copy")
            onTriggered: root.copy()
        }
        MenuEntry {
            text: qsTr("Edit")
            visible: root.isFromUser && !root.busy
            height: visible ? implicitHeight : 0
            onTriggered: Qt.callLater(root.startEditing, visualFocus)
        }
        MenuEntry {
            text: qsTr("Regenerate")
            visible: root.canRegenerate
            height: visible ? implicitHeight : 0
            onTriggered: AppState.regenerateLastReply()
        }
        MenuEntry {
            text: qsTr("Delete")
            enabled: !root.busy
            onTriggered: {
                // Later, once the menu has closed: the row goes with it.
                const id = root.messageId
                Qt.callLater(() => AppState.deleteMessage(id))
            }
        }
    }

    Component {
        id: prosePart
        Bubble {
            text: parent && parent.part ? parent.part.text : ""
            textFormat: TextEdit.MarkdownText
            paragraphSpacing: 10
            maxWidth: root.maxColumnWidth
            color: root.assistantBubbleColor
        }
    }

    Component {
        id: codePart
        CodeBlockView {
            width: root.maxColumnWidth
            code: parent && parent.part ? parent.part.text : ""
            language: parent && parent.part ? parent.part.language : ""
            isStreaming: root.isStreaming
            tabFrom: root.tabFrom
        }
    }
}
