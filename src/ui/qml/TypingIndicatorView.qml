import QtQuick

// The pending reply: the assistant's avatar and a bubble of three dots that
// bounce one after another.
Item {
    id: root
    readonly property color bubbleColor: Theme.isLight ? Qt.rgba(0.91, 0.91, 0.91, 1) : Qt.rgba(0.12, 0.12, 0.12, 1)

    implicitWidth: bubble.x + bubble.width
    implicitHeight: Math.max(avatar.height, bubble.height)
    objectName: "typingIndicator"
    Accessible.role: Accessible.Animation

    // the assistant's avatar, as beside its messages
    Rectangle {
        id: avatar
        width: 32
        height: 32
        radius: 16
        color: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.2)
        Accessible.ignored: true
        Icon {
            anchors.centerIn: parent
            name: "brain"
            size: 14
            color: Theme.blue
        }
    }

    Rectangle {
        id: bubble
        x: avatar.width + 12
        width: dots.width + 32
        height: dots.height + 24
        radius: 16
        color: root.bubbleColor

        Row {
            id: dots
            anchors.centerIn: parent
            spacing: 6

            Repeater {
                model: 3
                delegate: Rectangle {
                    id: dot
                    required property int index
                    width: 8
                    height: 8
                    radius: 4
                    color: Theme.primaryAt(0.4)
                    transform: Translate { id: offset }

                    SequentialAnimation {
                        running: root.visible
                        PauseAnimation { duration: 200 * dot.index }
                        SequentialAnimation {
                            loops: Animation.Infinite
                            NumberAnimation {
                                target: offset; property: "y"; from: 0; to: -4
                                duration: 600; easing.type: Easing.InOutQuad
                            }
                            NumberAnimation {
                                target: offset; property: "y"; from: -4; to: 0
                                duration: 600; easing.type: Easing.InOutQuad
                            }
                        }
                        onStopped: offset.y = 0
                    }
                }
            }
        }
    }
}
