import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The About box: the application's name and version, the llama.cpp program
// it runs as that program named itself when it was verified, where the files
// live, and the licences of what it is built with.
Popup {
    id: box

    readonly property var licences: [
        ["Quorvane", "GPL-3.0-or-later"],
        ["Qt 6", "LGPL-3.0-only"],
        ["poppler-cpp", "GPL-2.0-only or GPL-3.0-only"],
        ["simdjson", "Apache-2.0"],
        ["Qt Keychain", "BSD-2-Clause"],
        ["Material Icons font", "Apache-2.0"],
        [qsTr("llama.cpp (downloaded at first start)"), "MIT"]
    ]

    // A label above a value the user can select and copy.
    component InfoRow: ColumnLayout {
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
            font.pixelSize: 14
            color: Theme.primary
            selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
            selectedTextColor: Theme.primary
        }
    }

    objectName: "aboutBox"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 480
    height: Math.min(titleRow.implicitHeight + body.implicitHeight + 60, parent ? parent.height - 48 : 560)
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
            id: titleRow
            Layout.fillWidth: true
            Layout.margins: 20
            Layout.bottomMargin: 0
            spacing: 12
            QuorvaneLogo {
                Layout.preferredHeight: 36
                Layout.preferredWidth: 36 * 1.064
                color: Theme.blue
            }
            Column {
                Layout.fillWidth: true
                Text {
                    text: "Quorvane"
                    font.pixelSize: 22
                    font.bold: true
                    color: Theme.primary
                }
                Text {
                    text: qsTr("Version %1").arg(About.version)
                    font.pixelSize: 13
                    color: Theme.primaryAt(0.6)
                }
            }
            AbstractButton {
                id: doneButton
                text: qsTr("Done")
                padding: 8
                hoverEnabled: true
                focusPolicy: Qt.TabFocus
                Accessible.role: Accessible.Button
                Accessible.name: text
                Accessible.onPressAction: box.close()
                contentItem: Text {
                    text: doneButton.text
                    font.pixelSize: 14
                    font.weight: Font.Medium
                    color: doneButton.hovered ? Theme.blue : Theme.gray
                }
                background: null
                onClicked: box.close()
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
                spacing: 16

                InfoRow {
                    label: "llama.cpp"
                    value: LlamaManager.llamaCPPVersion !== "" ? LlamaManager.llamaCPPVersion : qsTr("Not verified yet")
                }
                InfoRow { label: qsTr("Data folder"); value: About.dataFolder }
                InfoRow {
                    visible: About.settingsFile !== ""
                    label: qsTr("Settings file")
                    value: About.settingsFile
                }

                ColumnLayout {
                    spacing: 4
                    Text {
                        text: qsTr("Licences")
                        font.pixelSize: 13
                        font.weight: Font.Medium
                        color: Theme.primaryAt(0.6)
                    }
                    Repeater {
                        model: box.licences
                        delegate: Text {
                            required property var modelData
                            text: modelData[0] + ": " + modelData[1]
                            font.pixelSize: 13
                            color: Theme.primary
                        }
                    }
                }
            }
        }
    }
}
