import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// A server elsewhere: its address and API key, Connect, the models it
// offers, and what the user must know about it (where the conversations
// go, where the key is kept). The fields keep what was typed; the stored
// address changes only when a connect succeeds.
ColumnLayout {
    id: form

    // Offers Refresh and Forget key for the stored server (Settings).
    property bool managesStoredServer: true

    spacing: 8

    function connectServer() {
        Engines.connectRemoteServer(urlField.text, keyField.text)
    }

    Connections {
        target: Engines
        function onRemoteServerConnected() {
            urlField.text = Engines.remoteServerUrl
            keyField.text = ""
        }
    }

    component Label: Text {
        Layout.fillWidth: true
        font.pixelSize: 12
        font.weight: Font.Medium
        color: Theme.primaryAt(0.6)
    }

    component Field: TextField {
        Layout.fillWidth: true
        font.pixelSize: 13
        padding: 9
        color: Theme.primary
        placeholderTextColor: Theme.primaryAt(0.35)
        selectByMouse: true
        selectionColor: Qt.rgba(Theme.blue.r, Theme.blue.g, Theme.blue.b, 0.4)
        selectedTextColor: Theme.primary
        background: Rectangle {
            radius: 8
            color: Theme.primaryAt(0.04)
            border.width: 1
            border.color: parent.activeFocus ? Theme.blue : Theme.primaryAt(0.1)
        }
        onAccepted: form.connectServer()
    }

    Label { text: qsTr("Server address") }
    Field {
        id: urlField
        placeholderText: "http://192.168.1.20:8080"
        text: Engines.remoteServerUrl
        inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoAutoUppercase
        Accessible.name: qsTr("Server address")
    }

    Label { text: qsTr("API key") }
    Field {
        id: keyField
        echoMode: TextInput.Password
        placeholderText: Engines.hasRemoteKey ? qsTr("Leave empty to keep the stored key") : qsTr("Optional")
        Accessible.name: qsTr("API key")
    }

    RowLayout {
        Layout.topMargin: 4
        spacing: 10
        SettingsButton {
            text: qsTr("Connect")
            iconName: "link"
            enabled: !Engines.isConnecting
            onClicked: form.connectServer()
        }
        SettingsButton {
            visible: form.managesStoredServer && Engines.remoteServerUrl !== ""
            text: qsTr("Refresh")
            iconName: "arrow.clockwise"
            enabled: !Engines.isConnecting
            onClicked: Engines.refreshRemoteModels()
        }
        SettingsButton {
            visible: form.managesStoredServer && Engines.hasRemoteKey
            text: qsTr("Forget key")
            iconName: "trash"
            onClicked: Engines.forgetRemoteKey()
        }
        BusyIndicator {
            objectName: "connectingIndicator"
            Layout.preferredWidth: 24
            Layout.preferredHeight: 24
            running: Engines.isConnecting
            visible: running
            palette.dark: Theme.blue
        }
    }

    Text {
        objectName: "remoteError"
        Layout.fillWidth: true
        visible: text !== ""
        text: Engines.remoteError
        wrapMode: Text.Wrap
        font.pixelSize: 12
        color: Theme.redText
    }

    Label {
        Layout.topMargin: 4
        visible: Engines.remoteModels.length > 0
        text: qsTr("Model")
    }
    Rectangle {
        objectName: "remoteModelList"
        Layout.fillWidth: true
        visible: Engines.remoteModels.length > 0
        implicitHeight: remoteRows.height
        radius: 8
        color: Theme.primaryAt(0.03)
        border.width: 1
        border.color: Theme.primaryAt(0.08)
        clip: true

        Column {
            id: remoteRows
            width: parent.width
            Repeater {
                model: Engines.remoteModels
                delegate: AbstractButton {
                    id: remoteRow
                    required property string modelData
                    required property int index
                    readonly property bool isSelected: modelData === Engines.remoteModelId
                    width: remoteRows.width
                    text: modelData
                    hoverEnabled: true
                    padding: 10
                    leftPadding: 14
                    rightPadding: 14
                    focusPolicy: Qt.TabFocus
                    Accessible.role: Accessible.Button
                    Accessible.name: modelData
                    onClicked: Engines.selectRemoteModel(modelData)
                    background: Rectangle {
                        color: remoteRow.hovered ? Theme.primaryAt(0.05) : "transparent"
                        Rectangle {
                            visible: remoteRow.index > 0
                            width: parent.width
                            height: 1
                            color: Theme.primaryAt(0.08)
                        }
                    }
                    contentItem: RowLayout {
                        Text {
                            Layout.fillWidth: true
                            text: remoteRow.modelData
                            elide: Text.ElideMiddle
                            font.pixelSize: 13
                            color: Theme.primaryAt(0.9)
                        }
                        Icon {
                            objectName: "selectionCheckmark"
                            visible: remoteRow.isSelected
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
    // Before a refresh the list is unknown; the chosen model still is.
    Text {
        Layout.fillWidth: true
        visible: Engines.remoteModels.length === 0 && Engines.remoteModelId !== ""
        text: qsTr("Model: %1").arg(Engines.remoteModelId)
        elide: Text.ElideMiddle
        font.pixelSize: 13
        color: Theme.primaryAt(0.8)
    }

    RowLayout {
        Layout.topMargin: 4
        Layout.fillWidth: true
        visible: Engines.remoteServerNotice !== ""
        spacing: 8
        Icon {
            Layout.alignment: Qt.AlignTop
            name: "info.circle"
            size: 15
            color: Theme.primaryAt(0.7)
        }
        Text {
            objectName: "remoteServerNotice"
            Layout.fillWidth: true
            text: Engines.remoteServerNotice
            wrapMode: Text.Wrap
            font.pixelSize: 13
            color: Theme.primary
        }
    }
    Text {
        objectName: "remoteKeyNotice"
        Layout.fillWidth: true
        visible: text !== ""
        text: Engines.remoteKeyNotice
        wrapMode: Text.Wrap
        font.pixelSize: 12
        color: Theme.primaryAt(0.6)
    }
}
