import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// Fills the window while llama-completion is being installed: what the
// installer is doing and how far it has got.
Rectangle {
    id: view

    // The progress as a whole percentage, cut rather than rounded. The small
    // epsilon keeps fractions such as 0.29, whose product with 100 falls just
    // short of the whole number in binary, from losing a point.
    function percentText(progress) {
        return Math.max(0, Math.min(100, Math.floor(progress * 100 + 1e-9))) + "%"
    }

    color: Theme.windowBackground

    Column {
        anchors.centerIn: parent
        spacing: 30
        padding: 20

        Icon {
            anchors.horizontalCenter: parent.horizontalCenter
            name: "cpu"
            size: 60
            color: Theme.blue
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("Installing requirements")
            font.pixelSize: 24
            font.bold: true
            color: Theme.primary
        }

        Text {
            objectName: "installStatus"
            anchors.horizontalCenter: parent.horizontalCenter
            text: LlamaManager.llamaCPPInstallStatus !== "" ? LlamaManager.llamaCPPInstallStatus
                                                            : qsTr("Preparing installation...")
            font.pixelSize: 15
            color: Theme.primaryAt(0.7)
        }

        Column {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 10

            ProgressBar {
                id: bar
                objectName: "installProgress"
                width: 300
                from: 0
                to: 1
                value: LlamaManager.llamaCPPInstallProgress
                Accessible.name: qsTr("Installation progress")
                background: Rectangle {
                    implicitWidth: 300
                    implicitHeight: 6
                    radius: 3
                    color: Theme.primaryAt(0.12)
                }
                contentItem: Item {
                    implicitWidth: 300
                    implicitHeight: 6
                    Rectangle {
                        width: bar.visualPosition * parent.width
                        height: parent.height
                        radius: 3
                        color: Theme.blue
                    }
                }
            }

            Text {
                objectName: "installPercent"
                anchors.horizontalCenter: parent.horizontalCenter
                text: view.percentText(LlamaManager.llamaCPPInstallProgress)
                font.pixelSize: 11
                color: Theme.gray
            }
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr("This may take 2-5 minutes on first launch")
            font.pixelSize: 11
            color: Theme.gray
        }

        ConnectInsteadButton {
            anchors.horizontalCenter: parent.horizontalCenter
        }
    }
}
