import QtQuick
import Quorvane
import QtQuick.Controls

// A fenced code block: a header with the language and a copy button, then
// the coloured code, selectable, scrolling sideways instead of wrapping.
Rectangle {
    id: root
    property string code
    property string language
    // Shown as "Copied!" for two seconds after a copy.
    property bool isCopied: false
    // The code is still arriving: colour it without filling the cache.
    property bool isStreaming: false
    // Set, the Copy button is a stop of the Tab order after this item, and
    // Shift+Tab goes back to it (Qt's own order passes over an ancestor).
    property Item tabFrom: null

    readonly property color copiedGreen: Theme.isLight ? "#34c759" : "#30d158"

    implicitWidth: 600
    implicitHeight: header.height + codeArea.height + 2
    radius: 8
    color: "transparent"
    border.width: 1
    border.color: Theme.primaryAt(0.1)

    function copy() {
        MessageRendering.copyToClipboard(code)
        isCopied = true
        // each copy resets the label on its own, two seconds later
        resetLater.createObject(root)
    }

    Component {
        id: resetLater
        Timer {
            interval: 2000
            running: true
            onTriggered: {
                root.isCopied = false
                destroy()
            }
        }
    }

    // Each band is a rectangle rounded at all corners, cut in half by its
    // clipping parent, so only the outer corners are rounded.
    Item {
        id: header
        x: 1
        y: 1
        width: parent.width - 2
        height: copyButton.implicitHeight + 16
        clip: true

        Rectangle {
            width: parent.width
            height: parent.height + 8
            radius: 7
            // a step lighter than the code in the dark, so the band shows on black
            color: Theme.isLight ? "#e3e5e8" : "#242427"
        }

        Text {
            anchors.left: parent.left
            anchors.leftMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            text: root.language.toUpperCase()
            font.pixelSize: 12
            font.weight: Font.Medium
            color: Theme.primaryAt(0.6)
        }

        AbstractButton {
            id: copyButton
            anchors.right: parent.right
            anchors.rightMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            text: root.isCopied ? qsTr("Copied!") : qsTr("Copy")
            leftPadding: 8
            rightPadding: 8
            topPadding: 4
            bottomPadding: 4
            focusPolicy: root.tabFrom ? Qt.TabFocus : Qt.NoFocus
            KeyNavigation.backtab: root.tabFrom
            Accessible.name: text
            onClicked: root.copy()

            contentItem: Row {
                spacing: 4
                Icon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: root.isCopied ? "checkmark" : "doc.on.doc"
                    size: 12
                    color: copyLabel.color
                }
                Text {
                    id: copyLabel
                    anchors.verticalCenter: parent.verticalCenter
                    text: copyButton.text
                    font.pixelSize: 12
                    color: root.isCopied ? root.copiedGreen : Theme.primaryAt(0.7)
                    Behavior on color { ColorAnimation { duration: 350; easing.type: Easing.InOutQuad } }
                }
            }
            background: Rectangle {
                radius: 6
                color: Theme.primaryAt(copyButton.hovered ? 0.15 : 0.1)
            }
        }
    }

    Item {
        id: codeArea
        x: 1
        y: header.y + header.height
        width: parent.width - 2
        height: scroller.height
        clip: true

        Rectangle {
            y: -8
            width: parent.width
            height: parent.height + 8
            radius: 7
            color: MessageRendering.codeBackground(Theme.isLight)
        }

        Flickable {
            id: scroller
            width: parent.width
            height: codeText.height + (horizontalBar.visible ? horizontalBar.height : 0)
            contentWidth: codeText.width
            contentHeight: codeText.height
            flickableDirection: Flickable.HorizontalFlick
            boundsBehavior: Flickable.StopAtBounds
            // short lines leave the wheel to the list around
            interactive: contentWidth > width
            clip: true
            ScrollBar.horizontal: ScrollBar {
                id: horizontalBar
                policy: scroller.contentWidth > scroller.width ? ScrollBar.AsNeeded : ScrollBar.AlwaysOff
                visible: policy !== ScrollBar.AlwaysOff
            }

            // sideways wheel and trackpad moves scroll the code; vertical
            // ones pass on to the list
            WheelHandler {
                orientation: Qt.Horizontal
                acceptedDevices: PointerDevice.Mouse | PointerDevice.TouchPad
                onWheel: event => {
                    const delta = event.pixelDelta.x !== 0 ? event.pixelDelta.x : event.angleDelta.x / 2
                    const limit = Math.max(0, scroller.contentWidth - scroller.width)
                    scroller.contentX = Math.max(0, Math.min(limit, scroller.contentX - delta))
                }
            }

            TextEdit {
                id: codeText
                objectName: "codeText"
                padding: 12
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.NoWrap
                textFormat: TextEdit.RichText
                text: MessageRendering.highlight(root.code, root.language, !root.isStreaming, Theme.isLight)
                font.family: Theme.monospaceFont
                font.pixelSize: 14
                color: Theme.isLight ? "#1f2328" : "white"
                selectionColor: Qt.rgba(0.3, 0.5, 1.0, 0.5)
                selectedTextColor: "white"
                Accessible.role: Accessible.StaticText
                Accessible.name: root.code
            }
        }
    }
}
