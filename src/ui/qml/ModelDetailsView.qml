import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane

// A sheet with one model's name, source, file size and download state; the
// values follow the record while the sheet is open and can be selected.
Popup {
    id: sheet

    property string name
    property string url
    property string sizeText
    property bool isDownloaded: false
    readonly property bool isDoneButtonHovered: doneButton.hovered

    // A label above a value the user can select and copy.
    component DetailRow: ColumnLayout {
        property string label
        property string value
        Layout.fillWidth: true
        spacing: 4
        Text {
            text: parent.label
            font.pixelSize: 13
            font.weight: Font.Medium
            color: Theme.primaryAt(0.6)
        }
        TextEdit {
            Layout.fillWidth: true
            text: parent.value
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAnywhere
            textFormat: TextEdit.PlainText
            font.pixelSize: 15
            color: Theme.primary
            selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
            selectedTextColor: Theme.primary
        }
    }

    objectName: "modelDetails"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 500
    height: 400
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 0
    background: Rectangle {
        radius: 12
        color: Theme.windowBackground
        border.width: 1
        border.color: Theme.primaryAt(0.15)
    }

    contentItem: ColumnLayout {
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 20
            Layout.bottomMargin: 0
            Text {
                Layout.fillWidth: true
                text: qsTr("Model Details")
                font.pixelSize: 22
                font.bold: true
                color: Theme.primary
            }
            AbstractButton {
                id: doneButton
                text: qsTr("Done")
                padding: 8
                hoverEnabled: true
                focusPolicy: Qt.TabFocus
                Accessible.role: Accessible.Button
                Accessible.name: text
                Accessible.onPressAction: sheet.close()
                scale: hovered ? 1.05 : 1.0
                Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                contentItem: Text {
                    text: doneButton.text
                    font.pixelSize: 14
                    font.weight: Font.Medium
                    color: doneButton.hovered ? Theme.blue : Theme.gray
                    Behavior on color { ColorAnimation { duration: 150; easing.type: Easing.InOutQuad } }
                }
                background: null
                onClicked: sheet.close()
            }
        }

        Flickable {
            id: flick
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentWidth: width
            contentHeight: body.implicitHeight + 40
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            ColumnLayout {
                id: body
                x: 20
                y: 20
                width: flick.width - 40
                spacing: 20

                DetailRow { label: qsTr("Name"); value: sheet.name }
                DetailRow { label: qsTr("Source URL"); value: sheet.url }
                DetailRow { label: qsTr("File Size"); value: sheet.sizeText }

                ColumnLayout {
                    spacing: 4
                    Text {
                        text: qsTr("Status")
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: Theme.primaryAt(0.6)
                    }
                    Row {
                        spacing: 8
                        Rectangle {
                            anchors.verticalCenter: parent.verticalCenter
                            width: 8
                            height: 8
                            radius: 4
                            color: sheet.isDownloaded ? Theme.blue
                                                      : Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.5)
                        }
                        Text {
                            objectName: "modelStatus"
                            text: sheet.isDownloaded ? qsTr("Downloaded and ready") : qsTr("Downloading...")
                            font.pixelSize: 15
                            color: Theme.primary
                        }
                    }
                }
            }
        }
    }
}
