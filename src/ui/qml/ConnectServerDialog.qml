import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Quorvane
import Quorvane.State

// The welcome screen's way in without a local model: the address and key
// of a server elsewhere, Connect, the model to use, then the chat.
Popup {
    id: dialog

    // Connected in this dialog: the model list is the server's.
    readonly property bool canStart: Engines.isRemoteServerConfigured && Engines.remoteModels.length > 0

    objectName: "connectServerDialog"
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(460, parent ? parent.width - 48 : 460)
    height: Math.min(body.implicitHeight + 48, parent ? parent.height - 48 : 600)
    modal: true
    closePolicy: Popup.CloseOnEscape
    padding: 24
    background: Rectangle {
        radius: 12
        color: Theme.windowBackground
        border.width: 1
        border.color: Theme.primaryAt(0.15)
    }

    contentItem: Flickable {
        clip: true
        contentWidth: width
        contentHeight: body.implicitHeight
        boundsBehavior: Flickable.StopAtBounds

        ColumnLayout {
            id: body
            width: parent.width
            spacing: 12

            Text {
                text: qsTr("Connect to a server")
                font.pixelSize: 18
                font.bold: true
                color: Theme.primary
            }
            Text {
                Layout.fillWidth: true
                text: qsTr("Use a llama.cpp server, vLLM or Ollama running on another computer. No model needs to be "
                           + "downloaded here.")
                wrapMode: Text.Wrap
                font.pixelSize: 13
                color: Theme.primaryAt(0.6)
            }

            RemoteServerForm {
                Layout.fillWidth: true
                managesStoredServer: false
            }

            RowLayout {
                Layout.topMargin: 8
                Layout.alignment: Qt.AlignRight
                spacing: 10
                SettingsButton {
                    text: qsTr("Cancel")
                    onClicked: dialog.close()
                }
                SettingsButton {
                    text: qsTr("Start chatting")
                    iconName: "arrow.up.circle.fill"
                    isActive: dialog.canStart
                    enabled: dialog.canStart
                    onClicked: {
                        if (Engines.startWithRemoteServer())
                            dialog.close()
                    }
                }
            }
        }
    }
}
