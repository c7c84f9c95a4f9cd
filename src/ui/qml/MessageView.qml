import QtQuick
import Quorvane

// One message of the conversation. A user's message: its text in one bubble
// and its attached files, on the right beside the person avatar. An
// assistant's message: the brain avatar on the left, then the text split into
// prose bubbles (Markdown) and code blocks. The width comes from the list;
// the height follows the content.
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

    readonly property real avatarGap: 12
    readonly property real maxColumnWidth: Math.max(0, Math.min(600, width - 32 - avatarGap))
    readonly property color userBubbleColor: Theme.isLight ? Qt.rgba(210 / 255, 228 / 255, 1, 1)
                                                           : Qt.rgba(7 / 255, 31 / 255, 0.2, 1)
    readonly property color assistantBubbleColor: Theme.isLight ? Qt.rgba(0.91, 0.91, 0.91, 1)
                                                                : Qt.rgba(0.12, 0.12, 0.12, 1)
    readonly property var parts: isFromUser ? [] : MessageRendering.parts(content)

    implicitHeight: Math.max(avatar.height, column.height)
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
            visible: root.isFromUser && root.content.length > 0
            text: visible ? root.content : ""
            textFormat: TextEdit.PlainText
            maxWidth: root.maxColumnWidth
            color: root.userBubbleColor
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
        }
    }
}
