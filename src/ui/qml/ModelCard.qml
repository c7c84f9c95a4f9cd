import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane

// One catalog entry in the model library tab: what it is, how big, and a
// button that downloads it.
Item {
    id: card

    // A catalog entry: name, description, size, parameters, quantization,
    // useCase, catalogIndex.
    property var entry: ({})
    readonly property bool isHovered: hover.hovered
    signal download()

    function blueAt(opacity) { return Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, opacity) }

    objectName: "modelCard"
    implicitHeight: content.implicitHeight + 32
    height: implicitHeight
    scale: isHovered ? 1.02 : 1.0
    Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }

    HoverHandler { id: hover }

    Rectangle {
        anchors.fill: parent
        radius: 12
        color: card.isHovered ? card.blueAt(0.05) : Theme.primaryAt(0.04)
        border.width: 1
        border.color: card.isHovered ? card.blueAt(0.3) : Theme.primaryAt(0.08)
        Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        Behavior on border.color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    }

    RowLayout {
        id: content
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 16
        spacing: 14

        Rectangle {
            Layout.preferredWidth: 44
            Layout.preferredHeight: 44
            Layout.alignment: Qt.AlignTop
            radius: 10
            color: card.blueAt(0.2)
            Icon {
                anchors.centerIn: parent
                name: "brain"
                size: 20
                color: Theme.blue
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6

            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                Text {
                    // Its own width while there is room, shortened when not.
                    Layout.preferredWidth: implicitWidth
                    Layout.minimumWidth: 40
                    text: card.entry.name || ""
                    font.pixelSize: 15
                    font.weight: Font.DemiBold
                    color: Theme.primary
                    elide: Text.ElideRight
                }
                Rectangle {
                    visible: (card.entry.parameters || "").length > 0
                    implicitWidth: parametersText.implicitWidth + 12
                    implicitHeight: parametersText.implicitHeight + 4
                    radius: 4
                    color: card.blueAt(0.2)
                    Text {
                        id: parametersText
                        anchors.centerIn: parent
                        text: card.entry.parameters || ""
                        font.pixelSize: 11
                        font.weight: Font.Medium
                        color: Theme.blue
                    }
                }
                Item { Layout.fillWidth: true }
                Text {
                    text: card.entry.size || ""
                    font.pixelSize: 13
                    color: Theme.primaryAt(0.5)
                }
            }

            Text {
                Layout.fillWidth: true
                text: card.entry.description || ""
                font.pixelSize: 13
                color: Theme.primaryAt(0.7)
                wrapMode: Text.Wrap
            }

            Row {
                spacing: 8
                Row {
                    spacing: 4
                    Icon {
                        anchors.verticalCenter: parent.verticalCenter
                        name: "circle.grid.3x3.fill"
                        size: 11
                        color: Theme.primaryAt(0.5)
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: card.entry.quantization || ""
                        font.pixelSize: 11
                        color: Theme.primaryAt(0.5)
                    }
                }
                Text {
                    text: "•"
                    font.pixelSize: 11
                    color: Theme.primaryAt(0.3)
                }
                Text {
                    text: card.entry.useCase || ""
                    font.pixelSize: 11
                    color: Theme.primaryAt(0.5)
                }
            }
        }

        AbstractButton {
            id: downloadButton
            Layout.alignment: Qt.AlignVCenter
            implicitWidth: 36
            implicitHeight: 36
            hoverEnabled: true
            focusPolicy: Qt.TabFocus
            text: qsTr("Download %1").arg(card.entry.name || "")
            Accessible.role: Accessible.Button
            Accessible.name: text
            Accessible.onPressAction: card.download()
            ToolTip.text: text
            ToolTip.visible: hovered
            ToolTip.delay: 600
            contentItem: Icon {
                name: "arrow.down.circle.fill"
                size: 28
                color: Theme.blue
                scale: downloadButton.hovered ? 1.1 : 1.0
                Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            }
            background: null
            onClicked: card.download()
        }
    }
}
