import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// How replies are made, in the settings screen: the three engine modes,
// each with when to choose it, and below them the settings of the chosen
// one (the kept-loaded server's state and idle time, or the server
// elsewhere).
Column {
    id: section

    readonly property var modes: [
        { mode: "process", title: qsTr("One process per reply"),
          detail: qsTr("Loads the model for each reply and frees the memory after it. Best for short chats.") },
        { mode: "localServer", title: qsTr("Keep the model loaded"),
          detail: qsTr("Long conversations stay fast: earlier turns are not read again. Holds the model's memory.") },
        { mode: "remoteServer", title: qsTr("Use a server elsewhere"),
          detail: qsTr("For models too large for this computer: a llama.cpp server, vLLM or Ollama answers.") }
    ]

    spacing: 12

    Rectangle {
        objectName: "replyModes"
        width: section.width
        height: modeRows.height
        radius: 10
        color: Theme.primaryAt(0.03)
        border.width: 1
        border.color: Theme.primaryAt(0.08)
        clip: true

        Column {
            id: modeRows
            width: parent.width
            Repeater {
                model: section.modes
                delegate: AbstractButton {
                    id: modeRow
                    required property var modelData
                    required property int index
                    readonly property bool isSelected: Engines.mode === modelData.mode
                    width: modeRows.width
                    text: modelData.title
                    hoverEnabled: true
                    leftPadding: 16
                    rightPadding: 16
                    topPadding: 10
                    bottomPadding: 10
                    focusPolicy: Qt.TabFocus
                    Accessible.role: Accessible.RadioButton
                    Accessible.name: modelData.title
                    Accessible.checked: isSelected
                    onClicked: Engines.mode = modelData.mode

                    background: Rectangle {
                        color: modeRow.hovered ? Theme.primaryAt(0.05) : "transparent"
                        Rectangle {
                            visible: modeRow.index > 0
                            width: parent.width
                            height: 1
                            color: Theme.primaryAt(0.08)
                        }
                    }
                    contentItem: Item {
                        implicitHeight: modeTexts.implicitHeight
                        Column {
                            id: modeTexts
                            anchors.left: parent.left
                            anchors.right: modeCheck.left
                            anchors.rightMargin: 10
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 2
                            Text {
                                width: parent.width
                                text: modeRow.modelData.title
                                font.pixelSize: 14
                                color: Theme.primaryAt(0.9)
                            }
                            Text {
                                width: parent.width
                                text: modeRow.modelData.detail
                                wrapMode: Text.Wrap
                                font.pixelSize: 12
                                color: Theme.primaryAt(0.5)
                            }
                        }
                        Icon {
                            id: modeCheck
                            objectName: "selectionCheckmark"
                            anchors.right: parent.right
                            anchors.verticalCenter: parent.verticalCenter
                            visible: modeRow.isSelected
                            name: "checkmark"
                            size: 12
                            font.weight: Font.DemiBold
                            color: Theme.primaryAt(0.7)
                        }
                    }
                }
            }
        }
    }

    // The model kept loaded: why it cannot be, or the server's state and
    // how long it may sit unused.
    ColumnLayout {
        width: section.width
        visible: Engines.mode === "localServer"
        spacing: 10

        Text {
            objectName: "localServerUnavailable"
            Layout.fillWidth: true
            visible: !Engines.isLocalServerAvailable
            text: Engines.localServerUnavailableReason
            wrapMode: Text.Wrap
            font.pixelSize: 13
            color: Theme.primaryAt(0.7)
        }
        RowLayout {
            visible: Engines.isLocalServerAvailable
            spacing: 8
            Text {
                text: qsTr("Server:")
                font.pixelSize: 13
                color: Theme.primaryAt(0.6)
            }
            Text {
                objectName: "localServerState"
                Layout.fillWidth: true
                text: Engines.localServerState
                wrapMode: Text.Wrap
                font.pixelSize: 13
                color: Engines.localServerState.startsWith("Could not start") ? Theme.redText : Theme.primary
            }
            BusyIndicator {
                Layout.preferredWidth: 20
                Layout.preferredHeight: 20
                running: Engines.isLocalServerLoading
                visible: running
                palette.dark: Theme.blue
            }
        }
        RowLayout {
            spacing: 8
            Text {
                text: qsTr("Stop the server after")
                font.pixelSize: 13
                color: Theme.primaryAt(0.75)
            }
            TextField {
                id: idleField
                Layout.preferredWidth: 64
                text: Engines.localServerIdleMinutes
                horizontalAlignment: TextInput.AlignHCenter
                validator: IntValidator { bottom: 1; top: 1440 }
                font.pixelSize: 13
                padding: 6
                color: acceptableInput ? Theme.primary : Theme.redText
                selectByMouse: true
                Accessible.name: qsTr("Idle minutes")
                background: Rectangle {
                    radius: 6
                    color: Theme.primaryAt(0.04)
                    border.width: 1
                    border.color: idleField.activeFocus ? Theme.blue : Theme.primaryAt(0.1)
                }
                onEditingFinished: Engines.localServerIdleMinutes = parseInt(text)
                // what cannot be a number of minutes gives way to the value in force
                onActiveFocusChanged: if (!activeFocus) text = Qt.binding(() => Engines.localServerIdleMinutes)
            }
            Text {
                text: qsTr("minutes unused, to give the memory back")
                font.pixelSize: 13
                color: Theme.primaryAt(0.75)
            }
        }
    }

    RemoteServerForm {
        width: section.width
        visible: Engines.mode === "remoteServer"
    }
}
