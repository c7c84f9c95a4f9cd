import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// The model library tab of the picker: every catalog entry as a card with
// its download button.
ListView {
    id: list

    // Emitted with the catalog index of the entry to download.
    signal download(int catalogIndex)

    objectName: "modelLibraryList"
    clip: true
    spacing: 12
    model: Catalog.entries
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
        height: card.height
        onActiveFocusChanged: if (activeFocus) list.positionViewAtIndex(index, ListView.Contain)
        ModelCard {
            id: card
            x: 20
            width: slot.width - 40
            entry: slot.modelData
            onDownload: list.download(slot.modelData.catalogIndex)
        }
    }
}
