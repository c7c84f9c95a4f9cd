import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane

// One suggested catalog entry with how well it should run on this
// machine, tinted in the colour of its rating.
Item {
    id: card

    // A catalog entry (name, size, parameters, useCase, catalogIndex).
    property var entry: ({})
    // How the rating is shown: label, icon and colour.
    property string tierLabel
    property string tierIcon
    property color tierColor
    readonly property bool isHovered: hover.hovered
    signal download()

    function tierAt(opacity) { return Qt.rgba(tierColor.r, tierColor.g, tierColor.b, opacity) }

    objectName: "suggestedModelCard"
    implicitHeight: content.implicitHeight + 24

    HoverHandler { id: hover }

    Rectangle {
        anchors.fill: parent
        radius: 10
        color: card.tierAt(card.isHovered ? 0.06 : 0.04)
        border.width: 1
        border.color: card.tierAt(card.isHovered ? 0.25 : 0.12)
        Behavior on color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
        Behavior on border.color { ColorAnimation { duration: 200; easing.type: Easing.InOutQuad } }
    }

    RowLayout {
        id: content
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        anchors.margins: 12
        spacing: 10

        Item {
            Layout.preferredWidth: 28
            Layout.preferredHeight: 28
            Icon {
                anchors.centerIn: parent
                name: card.tierIcon
                size: 20
                color: card.tierColor
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4

            RowLayout {
                Layout.fillWidth: true
                spacing: 6
                Text {
                    // Its own width while there is room, shortened when not.
                    Layout.preferredWidth: implicitWidth
                    Layout.minimumWidth: 40
                    text: card.entry.name || ""
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    color: Theme.primary
                    elide: Text.ElideRight
                }
                Rectangle {
                    visible: (card.entry.parameters || "").length > 0
                    implicitWidth: parametersText.implicitWidth + 12
                    implicitHeight: parametersText.implicitHeight + 4
                    radius: 4
                    color: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.2)
                    Text {
                        id: parametersText
                        anchors.centerIn: parent
                        text: card.entry.parameters || ""
                        font.pixelSize: 11
                        font.weight: Font.Medium
                        color: Theme.blue
                    }
                }
                Text {
                    text: card.entry.size || ""
                    font.pixelSize: 11
                    color: Theme.primaryAt(0.5)
                }
                Item { Layout.fillWidth: true }
            }

            Row {
                spacing: 8
                Text {
                    objectName: "tierLabel"
                    text: card.tierLabel
                    font.pixelSize: 11
                    font.weight: Font.DemiBold
                    color: card.tierColor
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
            implicitWidth: 30
            implicitHeight: 30
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
                size: 22
                color: Theme.blue
                scale: downloadButton.hovered ? 1.1 : 1.0
                Behavior on scale { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }
            }
            background: null
            onClicked: card.download()
        }
    }
}
