import QtQuick
import QtQuick.Controls
import Quorvane
import QtQuick.Dialogs
import QtQuick.Layouts
import Quorvane.State

// The composer: the files attached to the next message, the attach button,
// the message field and the send button, which stops the reply while the
// current conversation is generating.
Item {
    id: composer

    // The current conversation is generating (other conversations do not
    // count).
    property bool generating: false
    readonly property alias messageField: field
    // The height of the input row alone; the attachment row above it may
    // cover the end of the message list.
    readonly property real inputRowHeight: inputBox.height

    function focusMessageField() { field.forceActiveFocus() }
    function refreshGenerating() { generating = AppState.isCurrentSessionGenerating() }

    implicitHeight: column.implicitHeight

    Shortcut {
        // Escape stops the reply being written, wherever the focus is.
        sequences: ["Escape"]
        enabled: composer.generating
        onActivated: AppState.stopCurrentReply()
    }

    Component.onCompleted: refreshGenerating()

    Connections {
        target: AppState
        function onSessionStateChanged() { composer.refreshGenerating() }
        function onCurrentSessionChanged() { composer.refreshGenerating() }
    }

    Timer {
        id: lastCardFading
        interval: 400
    }

    FileDialog {
        id: filePicker
        title: qsTr("Attach files")
        fileMode: FileDialog.OpenFiles
        onAccepted: {
            Composer.addAttachments(selectedFiles)
            pickedFocus.restart()
        }
    }
    Timer {
        id: pickedFocus
        interval: 100
        onTriggered: composer.focusMessageField()
    }

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        spacing: 8

        ListView {
            id: cardRow
            objectName: "attachmentRow"
            Layout.fillWidth: true
            Layout.preferredHeight: 86
            // Shown until the last card has faded out.
            visible: count > 0 || lastCardFading.running
            orientation: ListView.Horizontal
            spacing: 8
            clip: true
            // One row per attached file: a card comes and goes with its own
            // transition.
            model: Composer.attachments
            onCountChanged: if (count === 0) lastCardFading.restart()
            Rectangle {
                // Messages scrolled under the cards stay out of sight.
                parent: cardRow
                z: -1
                anchors.fill: parent
                radius: 12
                color: Theme.windowBackground
            }
            delegate: Item {
                id: cardSlot
                required property string fileName
                required property bool isPdf
                required property int index
                width: 78
                height: 86
                FileCard {
                    anchors.centerIn: parent
                    fileName: cardSlot.fileName
                    isPdf: cardSlot.isPdf
                    onRemove: Composer.removeAttachment(cardSlot.index)
                }
            }
            add: Transition {
                NumberAnimation { property: "scale"; from: 0.6; to: 1; duration: 400; easing.type: Easing.OutBack }
                NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 250 }
            }
            remove: Transition {
                NumberAnimation { property: "opacity"; to: 0; duration: 250 }
            }
            displaced: Transition {
                NumberAnimation { property: "x"; duration: 400; easing.type: Easing.OutCubic }
            }
        }

        Rectangle {
            id: inputBox
            Layout.fillWidth: true
            Layout.preferredHeight: inputRow.implicitHeight + 12
            radius: 20
            color: Theme.isLight ? Qt.rgba(0, 0, 0, 0.04) : Qt.rgba(1, 1, 1, 0.07)
            border.width: 1
            border.color: field.activeFocus ? Theme.primaryAt(0.2) : Theme.primaryAt(0.1)

            RowLayout {
                id: inputRow
                anchors.fill: parent
                anchors.leftMargin: 10
                anchors.rightMargin: 10
                spacing: 6

                AbstractButton {
                    id: attachButton
                    objectName: "attachButton"
                    Layout.alignment: Qt.AlignBottom
                    Layout.bottomMargin: 10
                    implicitWidth: 32
                    implicitHeight: 32
                    hoverEnabled: true
                    focusPolicy: Qt.TabFocus
                    Accessible.role: Accessible.Button
                    Accessible.name: qsTr("Attach files")
                    Accessible.onPressAction: filePicker.open()
                    ToolTip.visible: hovered
                    ToolTip.delay: 500
                    ToolTip.text: qsTr("Attach files")

                    background: Item {
                        Rectangle {
                            anchors.centerIn: parent
                            width: 40
                            height: 40
                            radius: 12
                            color: Theme.primaryAt(0.08)
                            opacity: attachButton.hovered ? 1 : 0
                            Behavior on opacity { NumberAnimation { duration: 400; easing.type: Easing.OutCubic } }
                        }
                        Rectangle {
                            anchors.fill: parent
                            radius: 8
                            color: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.2)
                        }
                    }
                    contentItem: Icon {
                        name: "paperclip"
                        size: 16
                        font.weight: Font.DemiBold
                        color: Theme.blue
                    }
                    onClicked: filePicker.open()
                }

                ScrollView {
                    id: fieldScroll
                    Layout.fillWidth: true
                    Layout.alignment: Qt.AlignVCenter
                    // One line to eight, then the field scrolls.
                    readonly property real lineHeight: field.contentHeight / Math.max(1, field.lineCount)
                    readonly property real maxHeight: lineHeight * 8 + field.topPadding + field.bottomPadding
                    Layout.preferredHeight: Math.min(field.implicitHeight, maxHeight)
                    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

                    TextArea {
                        id: field
                        objectName: "messageField"
                        placeholderText: qsTr("Send a message")
                        Accessible.name: qsTr("Send a message")
                        text: Composer.messageText
                        onTextChanged: if (Composer.messageText !== text) Composer.messageText = text
                        wrapMode: TextEdit.Wrap
                        padding: 14
                        leftPadding: 6
                        rightPadding: 6
                        font.pixelSize: 14
                        color: Theme.primary
                        placeholderTextColor: Theme.secondary
                        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
                        selectedTextColor: Theme.primary
                        background: null

                        // Tab moves on, as from every other control, rather than typing a tab.
                        Keys.onTabPressed: nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
                        Keys.onBacktabPressed: nextItemInFocusChain(false).forceActiveFocus(Qt.BacktabFocusReason)
                        Keys.onPressed: (event) => {
                            if (event.key !== Qt.Key_Return && event.key !== Qt.Key_Enter)
                                return
                            event.accepted = true
                            if (event.modifiers & Qt.ShiftModifier)
                                field.insert(field.cursorPosition, "\n")
                            else
                                Composer.sendMessage()
                        }
                    }
                }

                AbstractButton {
                    id: sendButton
                    objectName: "sendButton"
                    Layout.alignment: Qt.AlignBottom
                    Layout.bottomMargin: 10
                    implicitWidth: 32
                    implicitHeight: 32
                    hoverEnabled: true
                    focusPolicy: Qt.TabFocus
                    Accessible.role: Accessible.Button
                    Accessible.name: composer.generating ? qsTr("Stop generation") : qsTr("Send")
                    Accessible.onPressAction: sendButton.clicked()
                    ToolTip.visible: hovered
                    ToolTip.delay: 500
                    ToolTip.text: composer.generating ? qsTr("Stop generation") : qsTr("Send message")

                    background: Rectangle {
                        radius: 8
                        color: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.2)
                    }
                    contentItem: Item {
                        Icon {
                            anchors.centerIn: parent
                            name: "arrow.up"
                            size: 16
                            font.weight: Font.DemiBold
                            color: Theme.blue
                            opacity: composer.generating ? 0 : 1
                            scale: composer.generating ? 0.5 : (sendButton.hovered ? 1.1 : 1.0)
                            Behavior on opacity { NumberAnimation { duration: 200 } }
                            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.OutCubic } }
                        }
                        Icon {
                            anchors.centerIn: parent
                            name: "stop.fill"
                            size: 12
                            font.weight: Font.DemiBold
                            color: Theme.blue
                            opacity: composer.generating ? 1 : 0
                            scale: composer.generating ? (sendButton.hovered ? 1.1 : 1.0) : 0.5
                            Behavior on opacity { NumberAnimation { duration: 200 } }
                            Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.OutCubic } }
                        }
                    }
                    // Never disabled: sending an empty composer does nothing.
                    onClicked: {
                        if (composer.generating)
                            AppState.stopCurrentReply()
                        else
                            Composer.sendMessage()
                    }
                }
            }
        }
    }
}
