import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The suggested tab of the picker: this machine's processor and memory, a
// legend of the ratings, and the catalog rated for this machine, best
// first.
Item {
    id: tab

    // Emitted with the catalog index of the entry to download.
    signal download(int catalogIndex)

    // The ratings by tier: green, yellow, red.
    readonly property var tiers: [
        { label: "Runs Great", icon: "checkmark.circle.fill", color: Theme.tierGreen },
        { label: "May Be Slow", icon: "exclamationmark.triangle.fill", color: Theme.tierYellow },
        { label: "Not Recommended", icon: "xmark.circle.fill", color: Theme.tierRed }
    ]

    objectName: "suggestedModelsTab"

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            objectName: "deviceHeader"
            Layout.fillWidth: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Layout.topMargin: 16
            spacing: 8
            Icon {
                objectName: "deviceIcon"
                name: Catalog.isAppleSilicon ? "memorychip" : "cpu"
                size: 18
                color: Theme.blue
            }
            Text {
                Layout.preferredWidth: implicitWidth
                Layout.minimumWidth: 40
                text: Catalog.chipDescription
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Theme.primary
                elide: Text.ElideRight
            }
            Text {
                text: Catalog.totalRAMGB.toFixed(0) + " GB RAM"
                font.pixelSize: 13
                color: Theme.primaryAt(0.6)
            }
            Item { Layout.fillWidth: true }
        }

        Row {
            objectName: "tierLegend"
            Layout.leftMargin: 20
            Layout.topMargin: 10
            Layout.bottomMargin: 12
            spacing: 16
            Repeater {
                model: tab.tiers
                Row {
                    required property var modelData
                    spacing: 4
                    Icon {
                        anchors.verticalCenter: parent.verticalCenter
                        name: parent.modelData.icon
                        size: 10
                        color: parent.modelData.color
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: parent.modelData.label
                        font.pixelSize: 10
                        font.weight: Font.Medium
                        color: parent.modelData.color
                    }
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: Theme.primaryAt(0.04)

            ListView {
                id: list
                objectName: "suggestedList"
                anchors.fill: parent
                clip: true
                spacing: 10
                model: Catalog.suggested
                boundsBehavior: Flickable.StopAtBounds
                header: Item { height: 20 }
                footer: Item { height: 20 }
                ScrollBar.vertical: ScrollBar {}

                delegate: Item {
                    id: slot
                    required property var modelData
                    width: ListView.view.width
                    height: card.implicitHeight
                    SuggestedModelCard {
                        id: card
                        x: 20
                        width: slot.width - 40
                        height: implicitHeight
                        entry: slot.modelData
                        tier: slot.modelData.tier
                        tierLabel: tab.tiers[tier].label
                        tierIcon: tab.tiers[tier].icon
                        tierColor: tab.tiers[tier].color
                        onDownload: tab.download(slot.modelData.catalogIndex)
                    }
                }
            }
        }
    }
}
