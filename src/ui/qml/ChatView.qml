import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State
import Quorvane.Types

// The chat screen: the greeting or the current conversation with its live
// reply, the composer, the drop target for files and the two alerts of the
// chat turn.
Item {
    id: chatView
    objectName: "chatView"

    property bool hasScrolledToBottom: false
    property bool isDropTarget: false
    // Milliseconds since the epoch of the last scroll caused by streamed text.
    property double lastStreamScrollAt: 0
    readonly property bool isEmpty: messages.messageCount === 0 && !messages.isGenerating

    // Scrolls so that the end of the conversation (the live reply while one
    // streams) is in view.
    function scrollToEnd(animated) {
        if (list.count === 0)
            return
        scrollAnimation.stop()
        if (!animated) {
            list.positionViewAtEnd()
            return
        }
        const from = list.contentY
        list.positionViewAtEnd()
        const to = list.contentY
        if (Math.abs(to - from) < 1)
            return
        list.contentY = from
        scrollAnimation.from = from
        scrollAnimation.to = to
        scrollAnimation.start()
    }

    // A scroll right after the list appears, once it has been laid out.
    function scrollWhenShown() {
        if (!hasScrolledToBottom && list.visible && messages.messageCount > 0)
            shownScroll.restart()
    }

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    ChatMessagesModel {
        id: messages
        appState: AppState

        onMessageCountChanged: {
            if (chatView.hasScrolledToBottom) {
                chatView.scrollToEnd(true)
                settling.restart()
            }
        }
        onIsGeneratingChanged: {
            if (isGenerating)
                chatView.scrollToEnd(true)
        }
        onLiveTextChanged: chatView.requestStreamScroll()
        onConversationChanged: {
            list.currentIndex = -1
            chatView.hasScrolledToBottom = false
            firstScroll.restart()
            secondScroll.restart()
        }
    }

    // At most ten scrolls a second while a reply streams; text that arrives
    // sooner is brought into view when the tenth of a second has passed.
    function requestStreamScroll() {
        const since = Date.now() - lastStreamScrollAt
        if (since >= 100) {
            streamScroll()
        } else if (!trailingStreamScroll.running) {
            trailingStreamScroll.interval = 100 - since
            trailingStreamScroll.start()
        }
    }
    function streamScroll() {
        trailingStreamScroll.stop()
        lastStreamScrollAt = Date.now()
        scrollToEnd(false)
    }
    Timer {
        id: trailingStreamScroll
        onTriggered: {
            if (messages.hasLiveRow)
                chatView.streamScroll()
        }
    }
    function keepEndInView() {
        if (messages.hasLiveRow)
            requestStreamScroll()
        else if (settling.running && !scrollAnimation.running)
            Qt.callLater(scrollToEnd, false)
    }
    // Rows added at the end are laid out again for a while after (a reply
    // that stopped streaming is rendered anew); the end stays in view
    // meanwhile, also where that takes longer than the scroll.
    Timer {
        id: settling
        interval: 2000
    }
    Timer {
        id: firstScroll
        interval: 100
        onTriggered: chatView.scrollToEnd(false)
    }
    Timer {
        id: secondScroll
        interval: 300
        onTriggered: {
            chatView.scrollToEnd(false)
            chatView.hasScrolledToBottom = true
        }
    }
    Timer {
        id: shownScroll
        interval: 100
        onTriggered: {
            chatView.scrollToEnd(false)
            chatView.hasScrolledToBottom = true
        }
    }

    // Gives the message field the focus, unless the user is typing into
    // another field (the sidebar's search) at that moment.
    function takeFocus() {
        const current = Window.activeFocusItem
        if (current && current.cursorPosition !== undefined && !current.readOnly) {
            let inComposer = false
            for (let item = current; item && !inComposer; item = item.parent)
                inComposer = item === composer
            if (!inComposer)
                return
        }
        composer.focusMessageField()
    }

    // The message field takes the focus a moment after the screen appears.
    Timer {
        id: shownFocus
        interval: 100
        onTriggered: chatView.takeFocus()
    }
    Connections {
        target: Composer
        function onMessageFieldFocusRequested() { chatView.takeFocus() }
    }

    Component.onCompleted: {
        if (visible) {
            shownFocus.start()
            scrollWhenShown()
        }
    }
    onVisibleChanged: {
        if (visible) {
            shownFocus.restart()
            scrollWhenShown()
        } else {
            shownFocus.stop()
            // Attachments never carry over to another visit of the screen.
            Composer.clearAttachments()
        }
    }
    Component.onDestruction: {
        if (Composer)
            Composer.clearAttachments()
    }

    Text {
        id: greeting
        objectName: "greeting"
        visible: chatView.isEmpty
        anchors.horizontalCenter: parent.horizontalCenter
        width: composer.width
        y: (chatView.height - (height + 24 + composer.height)) / 2
        text: qsTr("How can I help you today ?")
        font.pixelSize: 22
        color: Theme.primaryAt(0.8)
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.Wrap
    }

    ListView {
        id: list
        objectName: "messageList"
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        // The attached files' cards cover the end of the list; the footer
        // makes room for them.
        anchors.bottom: composer.bottom
        anchors.bottomMargin: composer.inputRowHeight + 8
        visible: !chatView.isEmpty
        clip: true
        model: messages
        spacing: 24
        // The margins above the first and below the last message; as header
        // and footer they count when the view is put at its end.
        header: Item { height: 20 }
        footer: Item { height: Composer.attachedFiles.length > 0 ? 120 : 28 }
        reuseItems: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}
        // One stop of the Tab order, starting at the last message: Up and
        // Down move between the messages, the Menu key or Shift+F10 opens the
        // current one's menu, Left and Right show a reply's other answers.
        activeFocusOnTab: count > 0 || activeFocus
        currentIndex: -1
        // only when the Tab lands on the list itself: a field inside a
        // message (the edit field) keeps the focus it takes
        onActiveFocusChanged: {
            if (activeFocus && currentIndex < 0 && Window.activeFocusItem === list)
                currentIndex = count - 1
        }
        Keys.onPressed: (event) => {
            const message = currentItem ? currentItem.message : null
            if (!message || Window.activeFocusItem !== currentItem)
                return
            if (event.key === Qt.Key_Menu || (event.key === Qt.Key_F10 && (event.modifiers & Qt.ShiftModifier)))
                message.openMenu(true)
            else if (event.key === Qt.Key_Left || event.key === Qt.Key_Right)
                message.showOtherVersion(event.key === Qt.Key_Left ? -1 : 1)
            else
                return
            event.accepted = true
        }

        onVisibleChanged: chatView.scrollWhenShown()
        // The live reply grows when its new text has been laid out, which
        // can be after the text arrived; rows above that are laid out anew
        // move the end as well.
        onContentHeightChanged: chatView.keepEndInView()
        onOriginYChanged: chatView.keepEndInView()

        NumberAnimation {
            id: scrollAnimation
            target: list
            property: "contentY"
            duration: 300
            easing.type: Easing.OutCubic
            // Rows laid out meanwhile may have moved the end.
            onFinished: list.positionViewAtEnd()
        }

        delegate: Item {
            id: row
            required property string content
            required property bool isFromUser
            required property var attachments
            required property bool isLive
            required property string figures
            required property int index
            required property string messageId
            required property string kind
            required property int versionCount
            required property int shownVersion

            // the message shown, if not the typing indicator
            readonly property var message: bubble.item && bubble.item.openMenu ? bubble.item : null

            width: ListView.view.width
            height: bubble.height
            // given the keyboard back by a button inside it (Shift+Tab)
            onActiveFocusChanged: if (activeFocus) ListView.view.currentIndex = index

            Loader {
                id: bubble
                width: Math.min(800, row.width - 48)
                x: (row.width - width) / 2
                sourceComponent: row.isLive && row.content.length === 0 ? typingComponent : messageComponent
            }
            Component {
                id: messageComponent
                MessageView {
                    content: row.content
                    isFromUser: row.isFromUser
                    attachments: row.attachments
                    isStreaming: row.isLive
                    figures: row.figures
                    messageId: row.messageId
                    kind: row.kind
                    versionCount: row.versionCount
                    shownVersion: row.shownVersion
                    isLast: row.index === messages.messageCount - 1
                    busy: messages.isGenerating
                    // the current row; the last one until the keyboard has
                    // entered the list
                    tabFrom: (list.currentIndex >= 0 ? row.ListView.isCurrentItem : row.index === list.count - 1)
                             ? row : null
                    onEditFieldClosed: row.forceActiveFocus(Qt.TabFocusReason)
                }
            }
            Component {
                id: typingComponent
                TypingIndicatorView {}
            }
        }
    }

    ComposerView {
        id: composer
        objectName: "composer"
        anchors.horizontalCenter: parent.horizontalCenter
        width: Math.min(chatView.isEmpty ? 700 : 800, chatView.width - 48)
        y: chatView.isEmpty ? greeting.y + greeting.height + 24 : chatView.height - height - 16
    }

    // The whole screen takes dropped files.
    DropArea {
        anchors.fill: parent
        onEntered: (drag) => {
            if (!drag.hasUrls) {
                drag.accepted = false
                return
            }
            drag.accept(Qt.CopyAction)
            chatView.isDropTarget = true
        }
        onExited: chatView.isDropTarget = false
        onDropped: (drop) => {
            chatView.isDropTarget = false
            if (drop.hasUrls && Composer.dropUrls(drop.urls))
                drop.accept(Qt.CopyAction)
        }
    }
    Rectangle {
        objectName: "dropOutline"
        anchors.fill: parent
        color: "transparent"
        border.width: 2
        border.color: Theme.blue
        opacity: chatView.isDropTarget ? 1 : 0
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
    }

    Connections {
        target: Composer
        function onShowingNoModelAlertChanged() {
            if (Composer.showingNoModelAlert)
                noModelAlert.open()
        }
        function onAttachmentAlertChanged() {
            if (Composer.showingAttachmentAlert)
                attachmentAlert.open()
        }
    }

    AlertDialog {
        id: noModelAlert
        objectName: "noModelAlert"
        title: qsTr("No Model Selected")
        message: qsTr("You need to install a model first. You can look in the model library for suggested models.")
        onClosed: Composer.showingNoModelAlert = false
        footer: DialogButtonBox {
            background: null
            Button {
                Accessible.name: text
                text: qsTr("Go to Models")
                onClicked: {
                    noModelAlert.close()
                    AppState.setCurrentView(Quorvane.Models)
                }
            }
            Button {
                Accessible.name: text
                text: qsTr("Cancel")
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }

    AlertDialog {
        id: attachmentAlert
        objectName: "attachmentAlert"
        title: qsTr("File Too Large")
        message: Composer.attachmentAlertMessage
        onClosed: Composer.showingAttachmentAlert = false
        footer: DialogButtonBox {
            background: null
            Button {
                Accessible.name: text
                text: qsTr("OK")
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
        }
    }
}
