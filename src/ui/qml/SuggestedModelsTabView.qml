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
                text: qsTr("%1 GB RAM").arg(Catalog.totalRAMGB.toFixed(0))
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
                model: Catalog.tiers
                Row {
                    id: legendEntry
                    required property var modelData
                    required property int index
                    readonly property color tint: Catalog.tierColour(index, Theme.isLight)
                    spacing: 4
                    Icon {
                        anchors.verticalCenter: parent.verticalCenter
                        name: legendEntry.modelData.icon
                        size: 10
                        color: legendEntry.tint
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: legendEntry.modelData.label
                        font.pixelSize: 10
                        font.weight: Font.Medium
                        color: legendEntry.tint
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
                // The catalog is short: every card exists, so Tab reaches each one.
                cacheBuffer: 4000
                boundsBehavior: Flickable.StopAtBounds
                header: Item { height: 20 }
                footer: Item { height: 20 }
                ScrollBar.vertical: ScrollBar {}

                delegate: FocusScope {
                    id: slot
                    required property var modelData
                    required property int index
                    width: ListView.view.width
                    height: card.implicitHeight
                    onActiveFocusChanged: if (activeFocus) list.positionViewAtIndex(index, ListView.Contain)
                    SuggestedModelCard {
                        id: card
                        x: 20
                        width: slot.width - 40
                        height: implicitHeight
                        entry: slot.modelData
                        tierLabel: slot.modelData.tierLabel
                        tierIcon: slot.modelData.tierIcon
                        tierColor: Catalog.tierColour(slot.modelData.tier, Theme.isLight)
                        onDownload: tab.download(slot.modelData.catalogIndex)
                    }
                }
            }
        }
    }
}
