import QtQuick
import QtQuick.Controls
import Quorvane
import Quorvane.State

// Fills the window while llama-completion is not verified: "Verifying..."
// while the checks run, or the last error with a way to try again.
Rectangle {
    id: view

    readonly property bool hasError: LlamaManager.llamaCPPSetupError !== ""
    readonly property bool isRetryHovered: retryButton.hovered
    readonly property color orange: Theme.isLight ? "#ff9500" : "#ff9f0a"

    color: Theme.windowBackground

    Column {
        anchors.centerIn: parent
        spacing: 24

        Icon {
            anchors.horizontalCenter: parent.horizontalCenter
            name: view.hasError ? "exclamationmark.triangle.fill" : "hourglass"
            size: 56
            color: view.hasError ? view.orange : Theme.blue
        }

        Text {
            objectName: "setupTitle"
            anchors.horizontalCenter: parent.horizontalCenter
            text: view.hasError ? qsTr("Setup Required") : qsTr("Verifying...")
            font.pixelSize: 22
            font.bold: true
            color: Theme.primary
        }

        // While verifying: a spinner and what is being checked.
        Column {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: !view.hasError
            spacing: 12

            BusyIndicator {
                anchors.horizontalCenter: parent.horizontalCenter
                running: parent.visible
                scale: 0.9
                palette.dark: Theme.blue
            }

            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("Confirming the binary runs correctly")
                font.pixelSize: 13
                color: Theme.primaryAt(0.6)
            }
        }

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: view.hasError
            width: Math.min(420, implicitWidth)
            text: qsTr("Quorvane can't download models until required components are installed and verified.")
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
            font.pixelSize: 14
            color: Theme.primaryAt(0.8)
        }

        Rectangle {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: view.hasError
            width: errorText.width + 32
            height: errorText.height + 20
            radius: 8
            color: Theme.errorBoxFill
            border.width: 1
            border.color: Theme.errorBoxBorder

            Text {
                id: errorText
                objectName: "setupError"
                anchors.centerIn: parent
                width: Math.min(460, implicitWidth)
                text: LlamaManager.llamaCPPSetupError
                wrapMode: Text.Wrap
                font.pixelSize: 12
                color: Theme.primaryAt(0.6)
            }
        }

        AbstractButton {
            id: retryButton
            anchors.horizontalCenter: parent.horizontalCenter
            visible: view.hasError
            text: qsTr("Try Again")
            hoverEnabled: true
            leftPadding: 22
            rightPadding: 22
            topPadding: 10
            bottomPadding: 10
            focusPolicy: Qt.TabFocus
            Accessible.role: Accessible.Button
            Accessible.name: text
            scale: hovered ? 1.03 : 1.0
            Behavior on scale { NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }

            contentItem: Row {
                spacing: 6
                Icon {
                    anchors.verticalCenter: parent.verticalCenter
                    name: "arrow.clockwise"
                    size: 14
                    font.weight: Font.DemiBold
                    color: Theme.blue
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: retryButton.text
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    color: Theme.blue
                }
            }
            background: Rectangle {
                radius: 10
                color: "transparent"
                border.width: 2
                border.color: Theme.blue
            }

            // Clears the error at once, so the screen shows "Verifying..."
            // until the checks report.
            onClicked: AppState.retryLlamaCPPSetup()
        }

        ConnectInsteadButton {
            anchors.horizontalCenter: parent.horizontalCenter
            visible: view.hasError
        }
    }
}
